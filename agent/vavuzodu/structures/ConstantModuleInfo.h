#ifndef TESSERA_CONSTANTMODULEINFO_H
#define TESSERA_CONSTANTMODULEINFO_H

#include "structures/ConstantSingleIndex.h"

namespace Tessera {

class ConstantModuleInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantModuleInfo, CONSTANT_Module, "CONSTANT_Module_info", "name_index")
    int getNameIndex() const { return index; }
    void setNameIndex(int i) { index = i; }
};

} // namespace Tessera

#endif
