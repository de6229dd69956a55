#ifndef TESSERA_CONSTANTMETHODTYPEINFO_H
#define TESSERA_CONSTANTMETHODTYPEINFO_H

#include "structures/ConstantSingleIndex.h"

namespace Tessera {

class ConstantMethodTypeInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantMethodTypeInfo, CONSTANT_MethodType, "method type", "index")
    const char *getVerbose() const override { return "method type"; }
    int getIndex() const { return index; }
    void setIndex(int i) { index = i; }
};

} // namespace Tessera

#endif
