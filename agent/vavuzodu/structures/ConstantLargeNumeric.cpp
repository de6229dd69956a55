#include "structures/ConstantLargeNumeric.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ConstantLargeNumeric::CLASS_NAME = "ConstantLargeNumeric";

void ConstantLargeNumeric::read(DataInput *input)
{
    highBytes = input->readInt();
    lowBytes = input->readInt();
}

void ConstantLargeNumeric::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeInt(highBytes);
    output->writeInt(lowBytes);
}

const char *ConstantLargeNumeric::getVerbose() const
{
    return formatVerbose("high %x low %x", static_cast<unsigned int>(highBytes), static_cast<unsigned int>(lowBytes));
}

const char *ConstantLargeNumeric::getFormattedHighBytes() const
{
    return formatVerbose("%08x", static_cast<unsigned int>(highBytes));
}

const char *ConstantLargeNumeric::getFormattedLowBytes() const
{
    return formatVerbose("%08x", static_cast<unsigned int>(lowBytes));
}

void ConstantLargeNumeric::debug(const char *prefix) const
{
    Log::debug("%s %s with high_bytes %d and lowBytes %d", prefix, getTagVerbose(), highBytes, lowBytes);
}

bool ConstantLargeNumeric::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other) || !other->instanceOf(ConstantLargeNumeric::CLASS_NAME))
        return false;
    const ConstantLargeNumeric *o = static_cast<const ConstantLargeNumeric *>(other);
    return o->highBytes == highBytes && o->lowBytes == lowBytes;
}

} // namespace Tessera
