#ifndef TESSERA_DEPRECATEDATTRIBUTE_H
#define TESSERA_DEPRECATEDATTRIBUTE_H

#include "structures/AttributeInfo.h"

namespace Tessera {

class DeprecatedAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(DeprecatedAttribute)
};

} // namespace Tessera

#endif
