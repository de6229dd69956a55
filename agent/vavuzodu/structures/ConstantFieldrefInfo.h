#ifndef TESSERA_CONSTANTFIELDREFINFO_H
#define TESSERA_CONSTANTFIELDREFINFO_H

#include "structures/ConstantReference.h"

namespace Tessera {

class ConstantFieldrefInfo : public ConstantReference {
    TESSERA_PAIR_BODY(ConstantFieldrefInfo, ConstantReference, CONSTANT_Fieldref, "CONSTANT_Fieldref_info")
};

} // namespace Tessera

#endif
