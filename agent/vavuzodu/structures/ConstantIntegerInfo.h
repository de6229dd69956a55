#ifndef TESSERA_CONSTANTINTEGERINFO_H
#define TESSERA_CONSTANTINTEGERINFO_H

#include "structures/ConstantNumeric.h"

namespace Tessera {

class ConstantIntegerInfo : public ConstantNumeric {
    TESSERA_CLASS(ConstantIntegerInfo, ConstantNumeric)
    TESSERA_POOLED(ConstantIntegerInfo)
public:
    void initInstance() { bytes = 0; classFile = nullptr; }
    void release() {}
    int getTag() const override { return CONSTANT_Integer; }
    const char *getTagVerbose() const override { return "CONSTANT_Integer_info"; }
    int getInt() const { return bytes; }
    void setInt(int v) { bytes = v; }
};

} // namespace Tessera

#endif
