#ifndef TESSERA_CONSTANTSINGLEINDEX_H
#define TESSERA_CONSTANTSINGLEINDEX_H

#include "structures/CPInfo.h"

namespace Tessera {

// Entries made of one u2 index: Class, String, MethodType, Module, Package.
class ConstantSingleIndex : public CPInfo {
    TESSERA_CLASS(ConstantSingleIndex, CPInfo)
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
    TESSERA_CLASS(Class, ConstantSingleIndex)                                    \
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

} // namespace Tessera

#endif
