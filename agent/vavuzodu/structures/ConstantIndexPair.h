#ifndef TESSERA_CONSTANTINDEXPAIR_H
#define TESSERA_CONSTANTINDEXPAIR_H

#include "structures/CPInfo.h"

namespace Tessera {

// Entries made of two u2 indices.
class ConstantIndexPair : public CPInfo {
    TESSERA_CLASS(ConstantIndexPair, CPInfo)
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

#define TESSERA_PAIR_BODY(Class, Base, Tag, TagText)                           \
    TESSERA_CLASS(Class, Base)                                                   \
    TESSERA_POOLED(Class)                                                       \
public:                                                                         \
    void initInstance() { first = second = 0; classFile = nullptr; }            \
    void release() {}                                                           \
    int getTag() const override { return Tag; }                                 \
    const char *getTagVerbose() const override { return TagText; }

} // namespace Tessera

#endif
