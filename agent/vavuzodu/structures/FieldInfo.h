#ifndef TESSERA_FIELDINFO_H
#define TESSERA_FIELDINFO_H

#include "structures/ClassMember.h"

namespace Tessera {

class FieldInfo : public ClassMember {
    TESSERA_CLASS(FieldInfo, ClassMember)
    TESSERA_POOLED(FieldInfo)
public:
    void initInstance();
    void release();
    // A pooled field bound to classFile, fully read.
    static FieldInfo *create(DataInput *input, ClassFile *classFile);
    // A new field (name and descriptor found or added); the caller appends it to getFields().
    static FieldInfo *createField(ClassFile *classFile, const char *name, const char *descriptor, int accessFlags);
    void debug(const char *prefix) const;
};

} // namespace Tessera

#endif
