#ifndef TESSERA_CONSTANTVALUEATTRIBUTE_H
#define TESSERA_CONSTANTVALUEATTRIBUTE_H

#include "structures/AttributeInfo.h"

namespace Tessera {

class ConstantValueAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(ConstantValueAttribute)
    int getConstantvalueIndex() const { return constantvalueIndex; }
    void setConstantvalueIndex(int i) { constantvalueIndex = i; }

private:
    int constantvalueIndex = 0;
};

} // namespace Tessera

#endif
