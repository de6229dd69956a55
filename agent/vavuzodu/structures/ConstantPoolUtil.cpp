#include "structures/ConstantPoolUtil.h"

#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"

namespace Tessera {

int ConstantPoolUtil::addConstantPoolEntry(ClassFile *classFile, CPInfo *entry)
{
    int existing = classFile->getConstantPoolIndex(entry);
    if (existing > 0) {
        entry->freeInstance();
        return existing;
    }
    std::vector<CPInfo *> &pool = classFile->getConstantPool();
    int last = static_cast<int>(pool.size()) - 1;
    while (last > 0 && pool[last] == nullptr)
        last--;
    int index = last <= 0 ? 1 : last + pool[last]->getSlots();
    if (index >= static_cast<int>(pool.size()))
        pool.resize(index + 1, nullptr);
    entry->setClassFile(classFile);
    pool[index] = entry;
    classFile->registerConstantPoolEntry(index);
    return index;
}

int ConstantPoolUtil::addConstantUTF8Info(ClassFile *classFile, const char *text)
{
    ConstantUtf8Info *u = ConstantUtf8Info::getInstance();
    u->setString(text);
    return addConstantPoolEntry(classFile, u);
}

int ConstantPoolUtil::addConstantStringInfo(ClassFile *classFile, const char *text)
{
    int utf8 = addConstantUTF8Info(classFile, text);
    ConstantStringInfo *s = ConstantStringInfo::getInstance();
    s->setStringIndex(utf8);
    return addConstantPoolEntry(classFile, s);
}

int ConstantPoolUtil::addConstantClassInfo(ClassFile *classFile, const char *name)
{
    int utf8 = addConstantUTF8Info(classFile, name);
    ConstantClassInfo *c = ConstantClassInfo::getInstance();
    c->setNameIndex(utf8);
    return addConstantPoolEntry(classFile, c);
}

int ConstantPoolUtil::getConstantClassInfo(ClassFile *classFile, const char *name)
{
    std::vector<CPInfo *> &pool = classFile->getConstantPool();
    for (size_t i = 0; i < pool.size(); i++) {
        if (pool[i] == nullptr || pool[i]->getTag() != CONSTANT_Class)
            continue;
        ConstantUtf8Info *u = classFile->findUtf8(static_cast<ConstantClassInfo *>(pool[i])->getNameIndex());
        if (u != nullptr && eq_nt_str(name, u->getString(), u->getStringLength()))
            return static_cast<int>(i);
    }
    return addConstantClassInfo(classFile, name);
}

int ConstantPoolUtil::addConstantNameAndTypeInfo(ClassFile *classFile, const char *name, const char *descriptor)
{
    int nameIndex = addConstantUTF8Info(classFile, name);
    int descriptorIndex = addConstantUTF8Info(classFile, descriptor);
    ConstantNameAndTypeInfo *nt = ConstantNameAndTypeInfo::getInstance();
    nt->setNameIndex(nameIndex);
    nt->setDescriptorIndex(descriptorIndex);
    return addConstantPoolEntry(classFile, nt);
}

namespace {

template <class Ref>
int addReference(ClassFile *classFile, const char *className, const char *name, const char *descriptor)
{
    int classIndex = ConstantPoolUtil::addConstantClassInfo(classFile, className);
    int nameAndType = ConstantPoolUtil::addConstantNameAndTypeInfo(classFile, name, descriptor);
    Ref *ref = Ref::getInstance();
    ref->setClassIndex(classIndex);
    ref->setNameAndTypeIndex(nameAndType);
    return ConstantPoolUtil::addConstantPoolEntry(classFile, ref);
}

} // namespace

int ConstantPoolUtil::addConstantMethodrefInfo(ClassFile *classFile, const char *className, const char *name,
                                               const char *descriptor)
{
    return addReference<ConstantMethodrefInfo>(classFile, className, name, descriptor);
}

int ConstantPoolUtil::addConstantFieldrefInfo(ClassFile *classFile, const char *className, const char *name,
                                              const char *descriptor)
{
    return addReference<ConstantFieldrefInfo>(classFile, className, name, descriptor);
}

int ConstantPoolUtil::addConstantIntegerInfo(ClassFile *classFile, int value)
{
    ConstantIntegerInfo *i = ConstantIntegerInfo::getInstance();
    i->setInt(value);
    return addConstantPoolEntry(classFile, i);
}

} // namespace Tessera
