#include "structures/ConstantIndexPair.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ConstantIndexPair::CLASS_NAME = "ConstantIndexPair";

void ConstantIndexPair::read(DataInput *input)
{
    first = input->readUnsignedShort();
    second = input->readUnsignedShort();
}

void ConstantIndexPair::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeShort(first);
    output->writeShort(second);
}

void ConstantIndexPair::debug(const char *prefix) const
{
    Log::debug("%s %s with %s %d and %s %d", prefix, getTagVerbose(), firstLabel(), first, secondLabel(), second);
}

bool ConstantIndexPair::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other) || !other->instanceOf(ConstantIndexPair::CLASS_NAME))
        return false;
    const ConstantIndexPair *o = static_cast<const ConstantIndexPair *>(other);
    return o->first == first && o->second == second;
}

} // namespace Tessera
