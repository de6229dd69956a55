#include "bytecode/ByteCodeWriter.h"

#include <cstring>

#include "bytecode/Instructions.h"
#include "io/DataOutput.h"

namespace Tessera {

int ByteCodeWriter::writeByteCode(char **codeOut, std::vector<AbstractInstruction *> *instructions)
{
    DataOutput output;
    for (AbstractInstruction *i : *instructions)
        i->write(&output);
    char *code = new char[output.getSize() > 0 ? output.getSize() : 1];
    std::memcpy(code, output.getBuffer(), output.getSize());
    *codeOut = code;
    return output.getSize();
}

} // namespace Tessera
