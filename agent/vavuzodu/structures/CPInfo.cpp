#include "structures/CPInfo.h"

#include <cstdarg>
#include <cstdio>

#include "io/DataInput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"

namespace Tessera {

const char *const CPInfo::CLASS_NAME = "CPInfo";

namespace {

// Shared diagnostic buffer: every formatVerbose call overwrites it.
char verboseNumber[100];

CPInfo *newEntry(int tag)
{
    switch (tag) {
    case CONSTANT_Utf8: return ConstantUtf8Info::getInstance();
    case CONSTANT_Integer: return ConstantIntegerInfo::getInstance();
    case CONSTANT_Float: return ConstantFloatInfo::getInstance();
    case CONSTANT_Long: return ConstantLongInfo::getInstance();
    case CONSTANT_Double: return ConstantDoubleInfo::getInstance();
    case CONSTANT_Class: return ConstantClassInfo::getInstance();
    case CONSTANT_String: return ConstantStringInfo::getInstance();
    case CONSTANT_Fieldref: return ConstantFieldrefInfo::getInstance();
    case CONSTANT_Methodref: return ConstantMethodrefInfo::getInstance();
    case CONSTANT_InterfaceMethodref: return ConstantInterfaceMethodrefInfo::getInstance();
    case CONSTANT_NameAndType: return ConstantNameAndTypeInfo::getInstance();
    case CONSTANT_MethodHandle: return ConstantMethodHandleInfo::getInstance();
    case CONSTANT_MethodType: return ConstantMethodTypeInfo::getInstance();
    case CONSTANT_Dynamic: return ConstantDynamicInfo::getInstance();
    case CONSTANT_InvokeDynamic: return ConstantInvokeDynamicInfo::getInstance();
    case CONSTANT_Module: return ConstantModuleInfo::getInstance();
    case CONSTANT_Package: return ConstantPackageInfo::getInstance();
    default: return nullptr;
    }
}

} // namespace

CPInfo *CPInfo::create(DataInput *input, ClassFile *classFile)
{
    int tag = input->readUnsignedByte();
    CPInfo *entry = input->hasOverrun() ? nullptr : newEntry(tag);
    if (entry == nullptr) {
        Log::error("invalid constant pool entry with unknown tag %d", tag);
        return nullptr;
    }
    entry->setClassFile(classFile);
    entry->read(input);
    return entry;
}

bool CPInfo::equals(const orvane::Object *other) const
{
    return other != nullptr && other->instanceOf(CLASS_NAME) && static_cast<const CPInfo *>(other)->getTag() == getTag();
}

const char *CPInfo::getVerboseOfEntry(int index) const
{
    if (classFile == nullptr || index <= 0 || index >= static_cast<int>(classFile->getConstantPool().size()))
        return "";
    CPInfo *e = classFile->getConstantPool()[index];
    return e == nullptr ? "" : e->getVerbose();
}

const char *CPInfo::formatVerbose(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(verboseNumber, sizeof verboseNumber, format, args);
    va_end(args);
    return verboseNumber;
}

void CPInfo::debug(const char *prefix) const
{
    Log::debug("%s %s", prefix, getTagVerbose());
}

} // namespace Tessera
