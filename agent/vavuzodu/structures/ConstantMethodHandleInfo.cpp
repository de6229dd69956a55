#include "structures/ConstantMethodHandleInfo.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ConstantMethodHandleInfo::CLASS_NAME = "ConstantMethodHandleInfo";

void ConstantMethodHandleInfo::read(DataInput *input)
{
    kind = input->readUnsignedByte();
    index = input->readUnsignedShort();
}

void ConstantMethodHandleInfo::write(DataOutput *output)
{
    output->writeByte(CONSTANT_MethodHandle);
    output->writeByte(kind);
    output->writeShort(index);
}

void ConstantMethodHandleInfo::debug(const char *prefix) const
{
    Log::debug("%s %s with index %d and type %d", prefix, getTagVerbose(), index, kind);
}

bool ConstantMethodHandleInfo::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other))
        return false;
    const ConstantMethodHandleInfo *o = static_cast<const ConstantMethodHandleInfo *>(other);
    return o->index == index && o->kind == kind;
}

} // namespace Tessera
