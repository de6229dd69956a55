#include "structures/CodeAttribute.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const CodeAttribute::CLASS_NAME = "CodeAttribute";
const char *const CodeAttribute::ATTRIBUTE_NAME = "Code";

void CodeAttribute::initInstance()
{
    AttributeInfo::initInstance();
    maxStack = maxLocals = 0;
    code = nullptr;
    codeLength = 0;
    ownsCode = false;
}

void CodeAttribute::release()
{
    AttributeInfo::release();
    if (ownsCode)
        delete[] code;
    code = nullptr;
    codeLength = 0;
    ownsCode = false;
    freeTable(exceptionTable);
}

void CodeAttribute::read(DataInput *input)
{
    maxStack = input->readUnsignedShort();
    maxLocals = input->readUnsignedShort();
    int length = input->readInt();
    if (length < 0 || length > input->getRemaining()) {
        input->skipBytes(input->getRemaining() + 1); // marks the overrun
        return;
    }
    codeLength = length;
    code = length > 0 ? input->getCurrentPosition() : nullptr;
    ownsCode = false;
    input->skipBytes(length);
    readTable(input, classFile, exceptionTable);
    if (!input->hasOverrun())
        readAttributes(input);
}

void CodeAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(maxStack);
    output->writeShort(maxLocals);
    output->writeInt(codeLength);
    output->write(code, codeLength);
    writeTable(output, exceptionTable);
    writeAttributes(output);
}

int CodeAttribute::getAttributeLength() const
{
    int length = 12 + codeLength + 8 * static_cast<int>(exceptionTable.size());
    for (AttributeInfo *a : attributes)
        if (a != nullptr)
            length += 6 + a->getAttributeLength();
    return length;
}

void CodeAttribute::debug(const char *prefix) const
{
    Log::debug("%s Code attribute with max_stack %d, max_locals %d, code_length %d", prefix, maxStack, maxLocals,
               codeLength);
}

int CodeAttribute::getCode(const char **out) const
{
    if (out != nullptr)
        *out = code;
    return codeLength;
}

void CodeAttribute::setCode(char *bytes, int length)
{
    if (ownsCode)
        delete[] code;
    code = bytes;
    codeLength = length;
    ownsCode = true;
}

} // namespace Tessera
