#ifndef TESSERA_CONSTANTNAMEANDTYPEINFO_H
#define TESSERA_CONSTANTNAMEANDTYPEINFO_H

#include "structures/ConstantIndexPair.h"

namespace Tessera {

class ConstantNameAndTypeInfo : public ConstantIndexPair {
    TESSERA_PAIR_BODY(ConstantNameAndTypeInfo, ConstantIndexPair, CONSTANT_NameAndType, "CONSTANT_NameAndType_info")
    const char *getVerbose() const override;
    int getNameIndex() const { return first; }
    void setNameIndex(int i) { first = i; }
    int getDescriptorIndex() const { return second; }
    void setDescriptorIndex(int i) { second = i; }

protected:
    const char *firstLabel() const override { return "name_index"; }
    const char *secondLabel() const override { return "descriptor_index"; }
};

} // namespace Tessera

#endif
