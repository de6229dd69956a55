#include "structures/ConstantNumeric.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ConstantNumeric::CLASS_NAME = "ConstantNumeric";

void ConstantNumeric::read(DataInput *input) { bytes = input->readInt(); }

void ConstantNumeric::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeInt(bytes);
}

const char *ConstantNumeric::getVerbose() const
{
    return formatVerbose("bytes %x", static_cast<unsigned int>(bytes));
}

const char *ConstantNumeric::getFormattedBytes() const
{
    return formatVerbose("%08x", static_cast<unsigned int>(bytes));
}

void ConstantNumeric::debug(const char *prefix) const
{
    Log::debug("%s %s with bytes %d", prefix, getTagVerbose(), bytes);
}

bool ConstantNumeric::equals(const orvane::Object *other) const
{
    return CPInfo::equals(other) && other->instanceOf(ConstantNumeric::CLASS_NAME) &&
           static_cast<const ConstantNumeric *>(other)->bytes == bytes;
}

} // namespace Tessera
