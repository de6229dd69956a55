#ifndef TESSERA_SOURCEFILEATTRIBUTE_H
#define TESSERA_SOURCEFILEATTRIBUTE_H

#include "structures/AttributeInfo.h"

namespace Tessera {

class SourceFileAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(SourceFileAttribute)
    int getSourcefileIndex() const { return sourcefileIndex; }
    void setSourcefileIndex(int i) { sourcefileIndex = i; }

private:
    int sourcefileIndex = 0;
};

} // namespace Tessera

#endif
