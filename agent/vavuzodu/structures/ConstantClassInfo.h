#ifndef TESSERA_CONSTANTCLASSINFO_H
#define TESSERA_CONSTANTCLASSINFO_H

#include "structures/ConstantSingleIndex.h"

namespace Tessera {

class ConstantClassInfo : public ConstantSingleIndex {
    TESSERA_SINGLE_INDEX(ConstantClassInfo, CONSTANT_Class, "CONSTANT_Class_info", "name_index")
    int getNameIndex() const { return index; }
    void setNameIndex(int i) { index = i; }
    // Characters and length of the Utf8 name; null and 0 when the index is bad.
    const char *getName() const;
    int getNameLength() const;
};

} // namespace Tessera

#endif
