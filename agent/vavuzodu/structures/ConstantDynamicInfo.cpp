#include "structures/ConstantDynamicInfo.h"

namespace Tessera {

const char *const ConstantDynamicInfo::CLASS_NAME = "ConstantDynamicInfo";

} // namespace Tessera
