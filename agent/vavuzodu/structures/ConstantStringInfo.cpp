#include "structures/ConstantStringInfo.h"

namespace Tessera {

const char *const ConstantStringInfo::CLASS_NAME = "ConstantStringInfo";

} // namespace Tessera
