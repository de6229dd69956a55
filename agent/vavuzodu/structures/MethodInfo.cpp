#include "structures/MethodInfo.h"

#include "io/DataInput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"
#include "structures/ConstantUtf8Info.h"
#include "structures/String.h"

namespace Tessera {

const char *const MethodInfo::CLASS_NAME = "MethodInfo";

void MethodInfo::initInstance()
{
    classFile = nullptr;
    resetMember();
    codeStart = nullptr;
    codeLength = 0;
}

void MethodInfo::release() { resetMember(); }

void MethodInfo::read(DataInput *input, bool namesOnly)
{
    // A full read after the names pass starts the member again.
    deleteAttributes();
    ClassMember::read(input, namesOnly);
    if (!namesOnly || classFile->hasError())
        return;
    int count = input->readUnsignedShort();
    for (int i = 0; i < count && !input->hasOverrun(); i++) {
        int nameIndex = input->readUnsignedShort();
        int length = input->readInt();
        if (input->hasOverrun() || length < 0 || length > input->getRemaining())
            break;
        int end = input->getBytesRead() + length;
        ConstantUtf8Info *name = classFile->findUtf8(nameIndex);
        if (name != nullptr && eq_nt_str("Code", name->getString(), name->getStringLength()) && length >= 8) {
            input->skipBytes(4); // max_stack, max_locals
            int n = input->readInt();
            if (n >= 0 && n <= length - 8) {
                codeLength = n;
                codeStart = n > 0 ? input->getCurrentPosition() : nullptr;
            }
        }
        input->seek(end);
    }
    if (input->hasOverrun()) {
        Log::error("method attributes run past the end of the class");
        classFile->setError();
    }
}

MethodInfo *MethodInfo::create(DataInput *input, ClassFile *classFile, bool namesOnly)
{
    MethodInfo *m = getInstance();
    m->setClassFile(classFile);
    m->read(input, namesOnly);
    return m;
}

MethodInfo *MethodInfo::createMethod(ClassFile *classFile, const char *name, const char *descriptor, int accessFlags)
{
    MethodInfo *m = getInstance();
    m->initNamed(classFile, name, descriptor, accessFlags);
    return m;
}

void MethodInfo::debug(const char *prefix) const
{
    Log::debug("%s method with access flags %s, name_index %d, descriptor_index %d, %d attributes", prefix,
               getFormattedAccessFlags(), nameIndex, descriptorIndex, static_cast<int>(attributes.size()));
}

} // namespace Tessera
