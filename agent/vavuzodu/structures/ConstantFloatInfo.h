#ifndef TESSERA_CONSTANTFLOATINFO_H
#define TESSERA_CONSTANTFLOATINFO_H

#include "structures/ConstantNumeric.h"

namespace Tessera {

class ConstantFloatInfo : public ConstantNumeric {
    TESSERA_CLASS(ConstantFloatInfo, ConstantNumeric)
    TESSERA_POOLED(ConstantFloatInfo)
public:
    void initInstance() { bytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Float; }
    const char *getTagVerbose() const override { return "CONSTANT_Float_info"; }
};

} // namespace Tessera

#endif
