#include "structures/ExceptionsAttribute.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ExceptionsAttribute::CLASS_NAME = "ExceptionsAttribute";
const char *const ExceptionsAttribute::ATTRIBUTE_NAME = "Exceptions";

void ExceptionsAttribute::initInstance() { AttributeInfo::initInstance(); exceptionIndexTable.clear(); }

void ExceptionsAttribute::release()
{
    AttributeInfo::release();
    exceptionIndexTable.clear();
}

void ExceptionsAttribute::read(DataInput *input)
{
    int count = input->readUnsignedShort();
    exceptionIndexTable.reserve(count);
    for (int i = 0; i < count && !input->hasOverrun(); i++)
        exceptionIndexTable.push_back(input->readUnsignedShort());
}

void ExceptionsAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(static_cast<int>(exceptionIndexTable.size()));
    for (int index : exceptionIndexTable)
        output->writeShort(index);
}

int ExceptionsAttribute::getAttributeLength() const { return 2 + 2 * static_cast<int>(exceptionIndexTable.size()); }

void ExceptionsAttribute::debug(const char *prefix) const
{
    Log::debug("%s Exception attribute with %d exceptions", prefix, static_cast<int>(exceptionIndexTable.size()));
}

} // namespace Tessera
