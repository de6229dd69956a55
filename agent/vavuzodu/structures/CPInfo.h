#ifndef VAVUZODU_CPINFO_H
#define VAVUZODU_CPINFO_H

#include "structures/AbstractStructure.h"

namespace Tessera {

// One constant-pool entry. read() reads the body after the tag byte; write()
// writes the tag byte and the body.
class CPInfo : public AbstractStructure {
    ORVANE_CLASS(CPInfo, AbstractStructure)
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
};

} // namespace Tessera

#endif
