#include "structures/ConstantInvokeDynamicInfo.h"

namespace Tessera {

const char *const ConstantInvokeDynamicInfo::CLASS_NAME = "ConstantInvokeDynamicInfo";

} // namespace Tessera
