#ifndef VAVUZODU_CONSTANTENTRIES_H
#define VAVUZODU_CONSTANTENTRIES_H

#include "structures/CPInfo.h"
#include "structures/String.h"

namespace Tessera {

// Tags of the class-file format.
enum ConstantTag {
    CONSTANT_Utf8 = 1,
    CONSTANT_Integer = 3,
    CONSTANT_Float = 4,
    CONSTANT_Long = 5,
    CONSTANT_Double = 6,
    CONSTANT_Class = 7,
    CONSTANT_String = 8,
    CONSTANT_Fieldref = 9,
    CONSTANT_Methodref = 10,
    CONSTANT_InterfaceMethodref = 11,
    CONSTANT_NameAndType = 12,
    CONSTANT_MethodHandle = 15,
    CONSTANT_MethodType = 16,
    CONSTANT_Dynamic = 17,
    CONSTANT_InvokeDynamic = 18,
    CONSTANT_Module = 19,
    CONSTANT_Package = 20,
};

// Text: u2 length then bytes. Read text points into the class bytes; text set by
// setString is a private copy, freed with the entry.
class ConstantUtf8Info : public CPInfo {
    ORVANE_CLASS(ConstantUtf8Info, CPInfo)
    TESSERA_POOLED(ConstantUtf8Info)
public:
    void initInstance();
    void release();
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getTag() const override { return CONSTANT_Utf8; }
    const char *getTagVerbose() const override { return "CONSTANT_Utf8_info"; }
    const char *getVerbose() const override;
    void debug(const char *prefix) const override;
    int hashCode() const override { return text.hashCode(); }
    bool equals(const orvane::Object *other) const override;

    const char *getString() const { return text.getChars(); }
    int getStringLength() const { return text.getLength(); }
    // Takes a private copy of the NUL-terminated value.
    void setString(const char *value);
    const orvane::String &getOrvaneString() const { return text; }

private:
    orvane::String text;
    char *ownedCopy = nullptr;
};

// Integer and Float: one u4.
class ConstantNumeric : public CPInfo {
    ORVANE_CLASS(ConstantNumeric, CPInfo)
public:
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    const char *getVerbose() const override;
    void debug(const char *prefix) const override;
    int hashCode() const override { return bytes; }
    bool equals(const orvane::Object *other) const override;
    int getBytes() const { return bytes; }
    void setBytes(int b) { bytes = b; }
    const char *getFormattedBytes() const;

protected:
    int bytes = 0;
};

class ConstantIntegerInfo : public ConstantNumeric {
    ORVANE_CLASS(ConstantIntegerInfo, ConstantNumeric)
    TESSERA_POOLED(ConstantIntegerInfo)
public:
    void initInstance() { bytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Integer; }
    const char *getTagVerbose() const override { return "CONSTANT_Integer_info"; }
    int getInt() const { return bytes; }
    void setInt(int v) { bytes = v; }
};

class ConstantFloatInfo : public ConstantNumeric {
    ORVANE_CLASS(ConstantFloatInfo, ConstantNumeric)
    TESSERA_POOLED(ConstantFloatInfo)
public:
    void initInstance() { bytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Float; }
    const char *getTagVerbose() const override { return "CONSTANT_Float_info"; }
};

// Long and Double: two u4 halves, high first; two pool slots.
class ConstantLargeNumeric : public CPInfo {
    ORVANE_CLASS(ConstantLargeNumeric, CPInfo)
public:
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    const char *getVerbose() const override;
    void debug(const char *prefix) const override;
    int getSlots() const override { return 2; }
    int hashCode() const override { return highBytes ^ lowBytes; }
    bool equals(const orvane::Object *other) const override;
    int getHighBytes() const { return highBytes; }
    void setHighBytes(int v) { highBytes = v; }
    int getLowBytes() const { return lowBytes; }
    void setLowBytes(int v) { lowBytes = v; }
    const char *getFormattedHighBytes() const;
    const char *getFormattedLowBytes() const;

protected:
    int highBytes = 0;
    int lowBytes = 0;
};

class ConstantLongInfo : public ConstantLargeNumeric {
    ORVANE_CLASS(ConstantLongInfo, ConstantLargeNumeric)
    TESSERA_POOLED(ConstantLongInfo)
public:
    void initInstance() { highBytes = lowBytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Long; }
    const char *getTagVerbose() const override { return "CONSTANT_Long_info"; }
};

class ConstantDoubleInfo : public ConstantLargeNumeric {
    ORVANE_CLASS(ConstantDoubleInfo, ConstantLargeNumeric)
    TESSERA_POOLED(ConstantDoubleInfo)
public:
    void initInstance() { highBytes = lowBytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Double; }
    const char *getTagVerbose() const override { return "CONSTANT_Double_info"; }
};

// Entries made of one u2 index: Class, String, MethodType, Module, Package.
class ConstantSingleIndex : public CPInfo {
    ORVANE_CLASS(ConstantSingleIndex, CPInfo)
public:
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    const char *getVerbose() const override;
    void debug(const char *prefix) const override;
    int hashCode() const override { return index; }
    bool equals(const orvane::Object *other) const override;

protected:
    virtual const char *indexLabel() const = 0;
    int index = 0;
};

#define TESSERA_SINGLE_INDEX(Class, Tag, TagText, Label)                       \
    ORVANE_CLASS(Class, ConstantSingleIndex)                                    \
    TESSERA_POOLED(Class)                                                       \
public:                                                                         \
    void initInstance() { index = 0; classFile = nullptr; }                     \
    void release() {}                                                           \
    int getTag() const override { return Tag; }                                 \
    const char *getTagVerbose() const override { return TagText; }             \
                                                                                \
protected:                                                                      \
    const char *indexLabel() const override { return Label; }                   \
                                                                                \
public:

class ConstantClassInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantClassInfo, CONSTANT_Class, "CONSTANT_Class_info", "name_index")
    int getNameIndex() const { return index; }
    void setNameIndex(int i) { index = i; }
    // Characters and length of the Utf8 name; null and 0 when the index is bad.
    const char *getName() const;
    int getNameLength() const;
};

class ConstantStringInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantStringInfo, CONSTANT_String, "CONSTANT_String_info", "string_index")
    int getStringIndex() const { return index; }
    void setStringIndex(int i) { index = i; }
};

class ConstantMethodTypeInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantMethodTypeInfo, CONSTANT_MethodType, "method type", "index")
    const char *getVerbose() const override { return "method type"; }
    int getIndex() const { return index; }
    void setIndex(int i) { index = i; }
};

class ConstantModuleInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantModuleInfo, CONSTANT_Module, "CONSTANT_Module_info", "name_index")
    int getNameIndex() const { return index; }
    void setNameIndex(int i) { index = i; }
};

class ConstantPackageInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantPackageInfo, CONSTANT_Package, "CONSTANT_Package_info", "name_index")
    int getNameIndex() const { return index; }
    void setNameIndex(int i) { index = i; }
};

// Entries made of two u2 indices.
class ConstantIndexPair : public CPInfo {
    ORVANE_CLASS(ConstantIndexPair, CPInfo)
public:
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    void debug(const char *prefix) const override;
    int hashCode() const override { return first ^ second; }
    bool equals(const orvane::Object *other) const override;

protected:
    virtual const char *firstLabel() const = 0;
    virtual const char *secondLabel() const = 0;
    int first = 0;
    int second = 0;
};

// Fieldref, Methodref, InterfaceMethodref: class index, name-and-type index.
class ConstantReference : public ConstantIndexPair {
    ORVANE_CLASS(ConstantReference, ConstantIndexPair)
public:
    const char *getVerbose() const override;
    int getClassIndex() const { return first; }
    void setClassIndex(int i) { first = i; }
    int getNameAndTypeIndex() const { return second; }
    void setNameAndTypeIndex(int i) { second = i; }

protected:
    const char *firstLabel() const override { return "class_index"; }
    const char *secondLabel() const override { return "name_and_type_index"; }
};

#define TESSERA_PAIR_BODY(Class, Base, Tag, TagText)                           \
    ORVANE_CLASS(Class, Base)                                                   \
    TESSERA_POOLED(Class)                                                       \
public:                                                                         \
    void initInstance() { first = second = 0; classFile = nullptr; }            \
    void release() {}                                                           \
    int getTag() const override { return Tag; }                                 \
    const char *getTagVerbose() const override { return TagText; }

class ConstantFieldrefInfo : public ConstantReference {
    TESSERA_PAIR_BODY(ConstantFieldrefInfo, ConstantReference, CONSTANT_Fieldref, "CONSTANT_Fieldref_info")
};

class ConstantMethodrefInfo : public ConstantReference {
    TESSERA_PAIR_BODY(ConstantMethodrefInfo, ConstantReference, CONSTANT_Methodref, "CONSTANT_Methodref_info")
};

class ConstantInterfaceMethodrefInfo : public ConstantReference {
    TESSERA_PAIR_BODY(ConstantInterfaceMethodrefInfo, ConstantReference, CONSTANT_InterfaceMethodref,
                      "CONSTANT_InterfaceMethodref_info")
};

class ConstantNameAndTypeInfo : public ConstantIndexPair {
    TESSERA_PAIR_BODY(ConstantNameAndTypeInfo, ConstantIndexPair, CONSTANT_NameAndType, "CONSTANT_NameAndType_info")
    const char *getVerbose() const override;
    int getNameIndex() const { return first; }
    void setNameIndex(int i) { first = i; }
    int getDescriptorIndex() const { return second; }
    void setDescriptorIndex(int i) { second = i; }

protected:
    const char *firstLabel() const override { return "name_index"; }
    const char *secondLabel() const override { return "descriptor_index"; }
};

// Bootstrap method attribute index, then name-and-type index.
class ConstantInvokeDynamicInfo : public ConstantIndexPair {
    TESSERA_PAIR_BODY(ConstantInvokeDynamicInfo, ConstantIndexPair, CONSTANT_InvokeDynamic, "CONSTANT_InvokeDynamic_info")
    const char *getVerbose() const override { return "invoke dynamic"; }
    int getBootstrapIndex() const { return first; }
    void setBootstrapIndex(int i) { first = i; }
    int getNameAndTypeIndex() const { return second; }
    void setNameAndTypeIndex(int i) { second = i; }

protected:
    const char *firstLabel() const override { return "bootstrapIndex"; }
    const char *secondLabel() const override { return "nameAndTypeIndex"; }
};

// Same layout as InvokeDynamic, for dynamically computed constants.
class ConstantDynamicInfo : public ConstantIndexPair {
    TESSERA_PAIR_BODY(ConstantDynamicInfo, ConstantIndexPair, CONSTANT_Dynamic, "CONSTANT_Dynamic_info")
    const char *getVerbose() const override { return "dynamic"; }
    int getBootstrapIndex() const { return first; }
    void setBootstrapIndex(int i) { first = i; }
    int getNameAndTypeIndex() const { return second; }
    void setNameAndTypeIndex(int i) { second = i; }

protected:
    const char *firstLabel() const override { return "bootstrapIndex"; }
    const char *secondLabel() const override { return "nameAndTypeIndex"; }
};

// Reference kind (u1), reference index (u2).
class ConstantMethodHandleInfo : public CPInfo {
    ORVANE_CLASS(ConstantMethodHandleInfo, CPInfo)
    TESSERA_POOLED(ConstantMethodHandleInfo)
public:
    void initInstance() { kind = index = 0; classFile = nullptr; }
    void release() {}
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getTag() const override { return CONSTANT_MethodHandle; }
    const char *getTagVerbose() const override { return "method handle"; }
    const char *getVerbose() const override { return "method handle"; }
    void debug(const char *prefix) const override;
    int hashCode() const override { return index; }
    bool equals(const orvane::Object *other) const override;
    int getIndex() const { return index; }
    void setIndex(int i) { index = i; }
    int getKind() const { return kind; }
    void setKind(int k) { kind = k; }

private:
    int kind = 0;
    int index = 0;
};

} // namespace Tessera

#endif
