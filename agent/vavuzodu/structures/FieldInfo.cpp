#include "structures/FieldInfo.h"

#include "io/Log.h"

namespace Tessera {

const char *const FieldInfo::CLASS_NAME = "FieldInfo";

void FieldInfo::initInstance()
{
    classFile = nullptr;
    resetMember();
}

void FieldInfo::release() { resetMember(); }

FieldInfo *FieldInfo::create(DataInput *input, ClassFile *classFile)
{
    FieldInfo *f = getInstance();
    f->setClassFile(classFile);
    f->read(input, false);
    return f;
}

FieldInfo *FieldInfo::createField(ClassFile *classFile, const char *name, const char *descriptor, int accessFlags)
{
    FieldInfo *f = getInstance();
    f->initNamed(classFile, name, descriptor, accessFlags);
    return f;
}

void FieldInfo::debug(const char *prefix) const
{
    Log::debug("%s field with access flags %s, name_index %d, descriptor_index %d, %d attributes", prefix,
               getFormattedAccessFlags(), nameIndex, descriptorIndex, static_cast<int>(attributes.size()));
}

} // namespace Tessera
