// Feeds arbitrary bytes to the class-file reader in each of its reading modes,
// writes back what reads cleanly and decodes every method's code, so that
// truncated and lying class files show any out-of-bounds access.
#include <cstddef>
#include <cstdint>

#include "bytecode/ByteCodeReader.h"
#include "bytecode/ByteCodeWriter.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;

namespace {

void decodeMethods(ClassFile *cf)
{
    for (MethodInfo *method : cf->getMethods()) {
        CodeAttribute *code = static_cast<CodeAttribute *>(method->findAttribute(CodeAttribute::CLASS_NAME));
        if (code == nullptr)
            continue;
        const char *bytes;
        int length = code->getCode(&bytes);
        std::vector<AbstractInstruction *> *list = ByteCodeReader::readByteCode(bytes, length);
        if (list == nullptr)
            continue;
        char *out = nullptr;
        ByteCodeWriter::writeByteCode(&out, list);
        delete[] out;
        ByteCodeReader::freeInstructions(list);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1 << 20))
        return 0;
    int length = static_cast<int>(size);

    // Whole class, then written back and its code decoded.
    ClassFile *cf = ClassFileReader::readFromByteArray(data, length, nullptr, true, true, nullptr);
    if (cf != nullptr) {
        if (!cf->hasError()) {
            decodeMethods(cf);
            char *out = nullptr;
            ClassFileWriter::writeToByteArray(&out, cf);
            delete[] out;
        }
        cf->freeInstance();
    }

    // Head and names first, then the tail from where the head ended.
    int headLength = 0;
    cf = ClassFileReader::readFromByteArray(data, length, &headLength, true, false, nullptr);
    if (cf == nullptr)
        return 0;
    if (!cf->hasError() && headLength >= 0 && headLength <= length)
        ClassFileReader::readFromByteArray(data + headLength, length - headLength, nullptr, false, true, cf);
    cf->freeInstance();
    return 0;
}
