#ifndef TESSERA_CONSTANTMETHODREFINFO_H
#define TESSERA_CONSTANTMETHODREFINFO_H

#include "structures/ConstantReference.h"

namespace Tessera {

class ConstantMethodrefInfo : public ConstantReference {
    TESSERA_PAIR_BODY(ConstantMethodrefInfo, ConstantReference, CONSTANT_Methodref, "CONSTANT_Methodref_info")
};

} // namespace Tessera

#endif
