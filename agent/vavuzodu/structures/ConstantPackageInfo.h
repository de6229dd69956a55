#ifndef TESSERA_CONSTANTPACKAGEINFO_H
#define TESSERA_CONSTANTPACKAGEINFO_H

#include "structures/ConstantSingleIndex.h"

namespace Tessera {

class ConstantPackageInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantPackageInfo, CONSTANT_Package, "CONSTANT_Package_info", "name_index")
    int getNameIndex() const { return index; }
    void setNameIndex(int i) { index = i; }
};

} // namespace Tessera

#endif
