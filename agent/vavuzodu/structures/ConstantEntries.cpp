#include "structures/ConstantEntries.h"

#include <cstdio>
#include <cstring>

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"

namespace Tessera {

const char *const ConstantUtf8Info::CLASS_NAME = "ConstantUtf8Info";
const char *const ConstantNumeric::CLASS_NAME = "ConstantNumeric";
const char *const ConstantIntegerInfo::CLASS_NAME = "ConstantIntegerInfo";
const char *const ConstantFloatInfo::CLASS_NAME = "ConstantFloatInfo";
const char *const ConstantLargeNumeric::CLASS_NAME = "ConstantLargeNumeric";
const char *const ConstantLongInfo::CLASS_NAME = "ConstantLongInfo";
const char *const ConstantDoubleInfo::CLASS_NAME = "ConstantDoubleInfo";
const char *const ConstantSingleIndex::CLASS_NAME = "ConstantSingleIndex";
const char *const ConstantClassInfo::CLASS_NAME = "ConstantClassInfo";
const char *const ConstantStringInfo::CLASS_NAME = "ConstantStringInfo";
const char *const ConstantMethodTypeInfo::CLASS_NAME = "ConstantMethodTypeInfo";
const char *const ConstantModuleInfo::CLASS_NAME = "ConstantModuleInfo";
const char *const ConstantPackageInfo::CLASS_NAME = "ConstantPackageInfo";
const char *const ConstantIndexPair::CLASS_NAME = "ConstantIndexPair";
const char *const ConstantReference::CLASS_NAME = "ConstantReference";
const char *const ConstantFieldrefInfo::CLASS_NAME = "ConstantFieldrefInfo";
const char *const ConstantMethodrefInfo::CLASS_NAME = "ConstantMethodrefInfo";
const char *const ConstantInterfaceMethodrefInfo::CLASS_NAME = "ConstantInterfaceMethodrefInfo";
const char *const ConstantNameAndTypeInfo::CLASS_NAME = "ConstantNameAndTypeInfo";
const char *const ConstantInvokeDynamicInfo::CLASS_NAME = "ConstantInvokeDynamicInfo";
const char *const ConstantDynamicInfo::CLASS_NAME = "ConstantDynamicInfo";
const char *const ConstantMethodHandleInfo::CLASS_NAME = "ConstantMethodHandleInfo";

namespace {

// Shared diagnostic buffers: every getVerbose call overwrites them.
char verboseText[16384];
char verboseNumber[100];

const char *verboseOfEntry(ClassFile *cf, int index)
{
    if (cf == nullptr || index <= 0 || index >= static_cast<int>(cf->getConstantPool().size()))
        return "";
    CPInfo *e = cf->getConstantPool()[index];
    return e == nullptr ? "" : e->getVerbose();
}

} // namespace

// ---- Utf8

void ConstantUtf8Info::initInstance()
{
    classFile = nullptr;
    text.initInstance(nullptr, 0);
}

void ConstantUtf8Info::release()
{
    delete[] ownedCopy;
    ownedCopy = nullptr;
    text.initInstance(nullptr, 0);
}

void ConstantUtf8Info::read(DataInput *input)
{
    const char *chars;
    int length;
    input->readUTF(&chars, &length);
    text.initInstance(chars, length);
}

void ConstantUtf8Info::write(DataOutput *output)
{
    output->writeByte(CONSTANT_Utf8);
    output->writeUTF(text.getChars(), text.getLength());
}

void ConstantUtf8Info::setString(const char *value)
{
    size_t n = std::strlen(value);
    char *copy = new char[n + 1];
    std::memcpy(copy, value, n + 1);
    delete[] ownedCopy;
    ownedCopy = copy;
    text.initInstance(copy, static_cast<int>(n));
}

const char *ConstantUtf8Info::getVerbose() const
{
    int n = text.getLength() < 16383 ? text.getLength() : 16383;
    if (n > 0)
        std::memcpy(verboseText, text.getChars(), n);
    verboseText[n] = '\0';
    return verboseText;
}

void ConstantUtf8Info::debug(const char *prefix) const
{
    Log::debug("%s %s with length %d (%s)", prefix, getTagVerbose(), text.getLength(), getVerbose());
}

bool ConstantUtf8Info::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other))
        return false;
    const ConstantUtf8Info *o = static_cast<const ConstantUtf8Info *>(other);
    return o->text.getLength() == text.getLength() &&
           (text.getLength() == 0 || std::memcmp(o->text.getChars(), text.getChars(), text.getLength()) == 0);
}

// ---- Integer, Float

void ConstantNumeric::read(DataInput *input) { bytes = input->readInt(); }

void ConstantNumeric::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeInt(bytes);
}

const char *ConstantNumeric::getVerbose() const
{
    snprintf(verboseNumber, sizeof verboseNumber, "bytes %x", static_cast<unsigned int>(bytes));
    return verboseNumber;
}

const char *ConstantNumeric::getFormattedBytes() const
{
    snprintf(verboseNumber, sizeof verboseNumber, "%08x", static_cast<unsigned int>(bytes));
    return verboseNumber;
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

// ---- Long, Double

void ConstantLargeNumeric::read(DataInput *input)
{
    highBytes = input->readInt();
    lowBytes = input->readInt();
}

void ConstantLargeNumeric::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeInt(highBytes);
    output->writeInt(lowBytes);
}

const char *ConstantLargeNumeric::getVerbose() const
{
    snprintf(verboseNumber, sizeof verboseNumber, "high %x low %x", static_cast<unsigned int>(highBytes),
             static_cast<unsigned int>(lowBytes));
    return verboseNumber;
}

const char *ConstantLargeNumeric::getFormattedHighBytes() const
{
    snprintf(verboseNumber, sizeof verboseNumber, "%08x", static_cast<unsigned int>(highBytes));
    return verboseNumber;
}

const char *ConstantLargeNumeric::getFormattedLowBytes() const
{
    snprintf(verboseNumber, sizeof verboseNumber, "%08x", static_cast<unsigned int>(lowBytes));
    return verboseNumber;
}

void ConstantLargeNumeric::debug(const char *prefix) const
{
    Log::debug("%s %s with high_bytes %d and lowBytes %d", prefix, getTagVerbose(), highBytes, lowBytes);
}

bool ConstantLargeNumeric::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other) || !other->instanceOf(ConstantLargeNumeric::CLASS_NAME))
        return false;
    const ConstantLargeNumeric *o = static_cast<const ConstantLargeNumeric *>(other);
    return o->highBytes == highBytes && o->lowBytes == lowBytes;
}

// ---- one index

void ConstantSingleIndex::read(DataInput *input) { index = input->readUnsignedShort(); }

void ConstantSingleIndex::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeShort(index);
}

const char *ConstantSingleIndex::getVerbose() const { return verboseOfEntry(classFile, index); }

void ConstantSingleIndex::debug(const char *prefix) const
{
    Log::debug("%s %s with %s %d", prefix, getTagVerbose(), indexLabel(), index);
}

bool ConstantSingleIndex::equals(const orvane::Object *other) const
{
    return CPInfo::equals(other) && other->instanceOf(ConstantSingleIndex::CLASS_NAME) &&
           static_cast<const ConstantSingleIndex *>(other)->index == index;
}

const char *ConstantClassInfo::getName() const
{
    ConstantUtf8Info *name = classFile == nullptr ? nullptr : classFile->findUtf8(index);
    return name == nullptr ? nullptr : name->getString();
}

int ConstantClassInfo::getNameLength() const
{
    ConstantUtf8Info *name = classFile == nullptr ? nullptr : classFile->findUtf8(index);
    return name == nullptr ? 0 : name->getStringLength();
}

// ---- two indices

void ConstantIndexPair::read(DataInput *input)
{
    first = input->readUnsignedShort();
    second = input->readUnsignedShort();
}

void ConstantIndexPair::write(DataOutput *output)
{
    output->writeByte(getTag());
    output->writeShort(first);
    output->writeShort(second);
}

void ConstantIndexPair::debug(const char *prefix) const
{
    Log::debug("%s %s with %s %d and %s %d", prefix, getTagVerbose(), firstLabel(), first, secondLabel(), second);
}

bool ConstantIndexPair::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other) || !other->instanceOf(ConstantIndexPair::CLASS_NAME))
        return false;
    const ConstantIndexPair *o = static_cast<const ConstantIndexPair *>(other);
    return o->first == first && o->second == second;
}

const char *ConstantReference::getVerbose() const { return verboseOfEntry(classFile, first); }

const char *ConstantNameAndTypeInfo::getVerbose() const { return verboseOfEntry(classFile, first); }

// ---- method handle

void ConstantMethodHandleInfo::read(DataInput *input)
{
    kind = input->readUnsignedByte();
    index = input->readUnsignedShort();
}

void ConstantMethodHandleInfo::write(DataOutput *output)
{
    output->writeByte(CONSTANT_MethodHandle);
    output->writeByte(kind);
    output->writeShort(index);
}

void ConstantMethodHandleInfo::debug(const char *prefix) const
{
    Log::debug("%s %s with index %d and type %d", prefix, getTagVerbose(), index, kind);
}

bool ConstantMethodHandleInfo::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other))
        return false;
    const ConstantMethodHandleInfo *o = static_cast<const ConstantMethodHandleInfo *>(other);
    return o->index == index && o->kind == kind;
}

} // namespace Tessera
