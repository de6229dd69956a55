#ifndef TESSERA_CONSTANTLONGINFO_H
#define TESSERA_CONSTANTLONGINFO_H

#include "structures/ConstantLargeNumeric.h"

namespace Tessera {

class ConstantLongInfo : public ConstantLargeNumeric {
    TESSERA_CLASS(ConstantLongInfo, ConstantLargeNumeric)
    TESSERA_POOLED(ConstantLongInfo)
public:
    void initInstance() { highBytes = lowBytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Long; }
    const char *getTagVerbose() const override { return "CONSTANT_Long_info"; }
};

} // namespace Tessera

#endif
