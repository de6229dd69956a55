#ifndef TESSERA_CONSTANTINVOKEDYNAMICINFO_H
#define TESSERA_CONSTANTINVOKEDYNAMICINFO_H

#include "structures/ConstantBootstrapReference.h"

namespace Tessera {

class ConstantInvokeDynamicInfo : public ConstantBootstrapReference {
    TESSERA_PAIR_BODY(ConstantInvokeDynamicInfo, ConstantBootstrapReference, CONSTANT_InvokeDynamic, "CONSTANT_InvokeDynamic_info")
    const char *getVerbose() const override { return "invoke dynamic"; }
};

} // namespace Tessera

#endif
