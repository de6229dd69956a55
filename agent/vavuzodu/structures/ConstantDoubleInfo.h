#ifndef TESSERA_CONSTANTDOUBLEINFO_H
#define TESSERA_CONSTANTDOUBLEINFO_H

#include "structures/ConstantLargeNumeric.h"

namespace Tessera {

class ConstantDoubleInfo : public ConstantLargeNumeric {
    TESSERA_CLASS(ConstantDoubleInfo, ConstantLargeNumeric)
    TESSERA_POOLED(ConstantDoubleInfo)
public:
    void initInstance() { highBytes = lowBytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Double; }
    const char *getTagVerbose() const override { return "CONSTANT_Double_info"; }
};

} // namespace Tessera

#endif
