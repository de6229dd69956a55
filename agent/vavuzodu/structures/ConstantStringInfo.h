#ifndef TESSERA_CONSTANTSTRINGINFO_H
#define TESSERA_CONSTANTSTRINGINFO_H

#include "structures/ConstantSingleIndex.h"

namespace Tessera {

class ConstantStringInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantStringInfo, CONSTANT_String, "CONSTANT_String_info", "string_index")
    int getStringIndex() const { return index; }
    void setStringIndex(int i) { index = i; }
};

} // namespace Tessera

#endif
