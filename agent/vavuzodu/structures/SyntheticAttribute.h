#ifndef TESSERA_SYNTHETICATTRIBUTE_H
#define TESSERA_SYNTHETICATTRIBUTE_H

#include "structures/AttributeInfo.h"

namespace Tessera {

class SyntheticAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(SyntheticAttribute)
};

} // namespace Tessera

#endif
