#include "structures/ConstantMethodTypeInfo.h"

namespace Tessera {

const char *const ConstantMethodTypeInfo::CLASS_NAME = "ConstantMethodTypeInfo";

} // namespace Tessera
