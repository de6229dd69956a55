#ifndef TESSERA_CONSTANTDYNAMICINFO_H
#define TESSERA_CONSTANTDYNAMICINFO_H

#include "structures/ConstantBootstrapReference.h"

namespace Tessera {

// Same layout as InvokeDynamic, for dynamically computed constants.
class ConstantDynamicInfo : public ConstantBootstrapReference {
    TESSERA_PAIR_BODY(ConstantDynamicInfo, ConstantBootstrapReference, CONSTANT_Dynamic, "CONSTANT_Dynamic_info")
    const char *getVerbose() const override { return "dynamic"; }
};

} // namespace Tessera

#endif
