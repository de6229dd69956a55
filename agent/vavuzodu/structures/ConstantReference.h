#ifndef TESSERA_CONSTANTREFERENCE_H
#define TESSERA_CONSTANTREFERENCE_H

#include "structures/ConstantIndexPair.h"

namespace Tessera {

// Fieldref, Methodref, InterfaceMethodref: class index, name-and-type index.
class ConstantReference : public ConstantIndexPair {
    TESSERA_CLASS(ConstantReference, ConstantIndexPair)
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

} // namespace Tessera

#endif
