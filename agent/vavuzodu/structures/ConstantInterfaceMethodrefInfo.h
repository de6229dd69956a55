#ifndef TESSERA_CONSTANTINTERFACEMETHODREFINFO_H
#define TESSERA_CONSTANTINTERFACEMETHODREFINFO_H

#include "structures/ConstantReference.h"

namespace Tessera {

class ConstantInterfaceMethodrefInfo : public ConstantReference {
    TESSERA_PAIR_BODY(ConstantInterfaceMethodrefInfo, ConstantReference, CONSTANT_InterfaceMethodref,
                      "CONSTANT_InterfaceMethodref_info")
};

} // namespace Tessera

#endif
