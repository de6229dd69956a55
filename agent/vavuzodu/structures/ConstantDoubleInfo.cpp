#include "structures/ConstantDoubleInfo.h"

namespace Tessera {

const char *const ConstantDoubleInfo::CLASS_NAME = "ConstantDoubleInfo";

} // namespace Tessera
