#ifndef TESSERA_CLASSMEMBER_H
#define TESSERA_CLASSMEMBER_H

#include "structures/AbstractStructureWithAttributes.h"

namespace Tessera {

// A field or method: access flags, name and descriptor indices, attributes.
class ClassMember : public AbstractStructureWithAttributes {
    TESSERA_CLASS(ClassMember, AbstractStructureWithAttributes)
public:
    // Access flags, name and descriptor (u2 each), then unless namesOnly the
    // attributes. A name or descriptor that is no Utf8 entry sets the class file's
    // error flag.
    virtual void read(DataInput *input, bool namesOnly);
    void read(DataInput *input) override { read(input, false); }
    void write(DataOutput *output) override;

    int getAccessFlags() const { return accessFlags; }
    void setAccessFlags(int f) { accessFlags = f; }
    int getNameIndex() const { return nameIndex; }
    void setNameIndex(int i) { nameIndex = i; }
    int getDescriptorIndex() const { return descriptorIndex; }
    void setDescriptorIndex(int i) { descriptorIndex = i; }
    // Characters (not NUL-terminated) and byte length of name and descriptor.
    const char *getName() const;
    int getNameLength() const;
    const char *getSignature() const;
    int getSignatureLength() const;
    const char *getFormattedAccessFlags() const;

protected:
    void resetMember();
    // Binds a new member to cf with the given name, descriptor (found or added in
    // the pool) and access flags.
    void initNamed(ClassFile *cf, const char *name, const char *descriptor, int flags);

    int accessFlags = 0;
    int nameIndex = 0;
    int descriptorIndex = 0;
};

} // namespace Tessera

#endif
