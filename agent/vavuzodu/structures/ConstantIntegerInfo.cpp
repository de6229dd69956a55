#include "structures/ConstantIntegerInfo.h"

namespace Tessera {

const char *const ConstantIntegerInfo::CLASS_NAME = "ConstantIntegerInfo";

} // namespace Tessera
