#ifndef TESSERA_CONSTANTBOOTSTRAPREFERENCE_H
#define TESSERA_CONSTANTBOOTSTRAPREFERENCE_H

#include "structures/ConstantIndexPair.h"

namespace Tessera {

// InvokeDynamic and Dynamic: bootstrap method attribute index, then name-and-type index.
class ConstantBootstrapReference : public ConstantIndexPair {
    TESSERA_CLASS(ConstantBootstrapReference, ConstantIndexPair)
public:
    int getBootstrapIndex() const { return first; }
    void setBootstrapIndex(int i) { first = i; }
    int getNameAndTypeIndex() const { return second; }
    void setNameAndTypeIndex(int i) { second = i; }

protected:
    const char *firstLabel() const override { return "bootstrapIndex"; }
    const char *secondLabel() const override { return "nameAndTypeIndex"; }
};

} // namespace Tessera

#endif
