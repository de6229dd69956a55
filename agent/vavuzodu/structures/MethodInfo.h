#ifndef TESSERA_METHODINFO_H
#define TESSERA_METHODINFO_H

#include "structures/ClassMember.h"

namespace Tessera {

class MethodInfo : public ClassMember {
    TESSERA_CLASS(MethodInfo, ClassMember)
    TESSERA_POOLED(MethodInfo)
public:
    void initInstance();
    void release();
    // With namesOnly, the attributes are walked without being built and only the
    // place and length of the code are kept. A later full read of the same object
    // reads the member again from its start.
    void read(DataInput *input, bool namesOnly) override;
    using ClassMember::read;
    static MethodInfo *create(DataInput *input, ClassFile *classFile, bool namesOnly);
    // A new method without attributes (name and descriptor found or added); the
    // caller appends it and its Code attribute.
    static MethodInfo *createMethod(ClassFile *classFile, const char *name, const char *descriptor, int accessFlags);
    void debug(const char *prefix) const;

    // Code seen by the names-only read: first byte (null when none) and length.
    const char *getCodeStart() const { return codeStart; }
    int getCodeLength() const { return codeLength; }

private:
    const char *codeStart = nullptr;
    int codeLength = 0;
};

} // namespace Tessera

#endif
