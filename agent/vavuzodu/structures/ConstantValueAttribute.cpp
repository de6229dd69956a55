#include "structures/ConstantValueAttribute.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ConstantValueAttribute::CLASS_NAME = "ConstantValueAttribute";
const char *const ConstantValueAttribute::ATTRIBUTE_NAME = "ConstantValue";

void ConstantValueAttribute::initInstance() { AttributeInfo::initInstance(); constantvalueIndex = 0; }

void ConstantValueAttribute::release() { AttributeInfo::release(); }

void ConstantValueAttribute::read(DataInput *input) { constantvalueIndex = input->readUnsignedShort(); }

void ConstantValueAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(constantvalueIndex);
}

int ConstantValueAttribute::getAttributeLength() const { return 2; }

void ConstantValueAttribute::debug(const char *prefix) const
{
    Log::debug("%s ConstantValue attribute with constantvalue_index %d", prefix, constantvalueIndex);
}

} // namespace Tessera
