#ifndef VAVUZODU_CONSTANTFLOATINFO_H
#define VAVUZODU_CONSTANTFLOATINFO_H

#include "structures/ConstantNumeric.h"

namespace Tessera {

class ConstantFloatInfo : public ConstantNumeric {
    ORVANE_CLASS(ConstantFloatInfo, ConstantNumeric)
    TESSERA_POOLED(ConstantFloatInfo)
public:
    void initInstance() { bytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Float; }
    const char *getTagVerbose() const override { return "CONSTANT_Float_info"; }
};

} // namespace Tessera

#endif
