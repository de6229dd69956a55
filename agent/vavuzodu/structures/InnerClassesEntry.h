#ifndef TESSERA_INNERCLASSESENTRY_H
#define TESSERA_INNERCLASSESENTRY_H

#include "structures/AbstractStructure.h"

namespace Tessera {

// inner_class_info_index, outer_class_info_index, inner_name_index,
// inner_class_access_flags; u2 each.
class InnerClassesEntry : public AbstractStructure {
    TESSERA_CLASS(InnerClassesEntry, AbstractStructure)
    TESSERA_POOLED(InnerClassesEntry)
public:
    static InnerClassesEntry *create(DataInput *input, ClassFile *classFile);
    void initInstance() { innerClassInfoIndex = outerClassInfoIndex = innerNameIndex = innerClassAccessFlags = 0; classFile = nullptr; }
    void release() {}
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    void debug(const char *prefix) const;
    int getInnerClassInfoIndex() const { return innerClassInfoIndex; }
    void setInnerClassInfoIndex(int v) { innerClassInfoIndex = v; }
    int getOuterClassInfoIndex() const { return outerClassInfoIndex; }
    void setOuterClassInfoIndex(int v) { outerClassInfoIndex = v; }
    int getInnerNameIndex() const { return innerNameIndex; }
    void setInnerNameIndex(int v) { innerNameIndex = v; }
    int getInnerClassAccessFlags() const { return innerClassAccessFlags; }
    void setInnerClassAccessFlags(int v) { innerClassAccessFlags = v; }
    const char *getInnerClassFormattedAccessFlags() const;

private:
    int innerClassInfoIndex = 0, outerClassInfoIndex = 0, innerNameIndex = 0, innerClassAccessFlags = 0;
};

} // namespace Tessera

#endif
