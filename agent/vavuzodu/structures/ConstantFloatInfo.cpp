#include "structures/ConstantFloatInfo.h"

namespace Tessera {

const char *const ConstantFloatInfo::CLASS_NAME = "ConstantFloatInfo";

} // namespace Tessera
