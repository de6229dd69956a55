#include "structures/ConstantSingleIndex.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ConstantSingleIndex::CLASS_NAME = "ConstantSingleIndex";

void ConstantSingleIndex::read(DataInput *input) { index = input->readUnsignedShort(); }

void ConstantSingleIndex::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeShort(index);
}

const char *ConstantSingleIndex::getVerbose() const { return getVerboseOfEntry(index); }

void ConstantSingleIndex::debug(const char *prefix) const
{
    Log::debug("%s %s with %s %d", prefix, getTagVerbose(), indexLabel(), index);
}

bool ConstantSingleIndex::equals(const orvane::Object *other) const
{
    return CPInfo::equals(other) && other->instanceOf(ConstantSingleIndex::CLASS_NAME) &&
           static_cast<const ConstantSingleIndex *>(other)->index == index;
}

} // namespace Tessera
