#ifndef TESSERA_CPINFO_H
#define TESSERA_CPINFO_H

#include "structures/AbstractStructure.h"

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

// One constant-pool entry. read() reads the body after the tag byte; write()
// writes the tag byte and the body.
class CPInfo : public AbstractStructure {
    TESSERA_CLASS(CPInfo, AbstractStructure)
public:
    // Reads a tag byte and the body of that kind of entry into a pooled entry
    // bound to classFile. Null for an unknown tag (logged).
    static CPInfo *create(DataInput *input, ClassFile *classFile);

    virtual int getTag() const = 0;
    virtual const char *getTagVerbose() const = 0;
    // A short text for diagnostics, in a shared buffer that the next call overwrites.
    virtual const char *getVerbose() const { return ""; }
    virtual void debug(const char *prefix) const;
    // Pool slots taken: 2 for Long and Double, else 1.
    virtual int getSlots() const { return 1; }

    int hashCode() const override { return 0; }
    // Entries are equal only when they have the same tag; subclasses then compare values.
    bool equals(const orvane::Object *other) const override;

protected:
    // getVerbose of the entry at index in this entry's class file; "" when there is none.
    const char *getVerboseOfEntry(int index) const;
    // Formats into the shared diagnostic buffer that the next call overwrites.
    static const char *formatVerbose(const char *format, ...) __attribute__((format(printf, 1, 2)));
};

} // namespace Tessera

#endif
