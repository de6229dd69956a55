#include "structures/ConstantModuleInfo.h"

namespace Tessera {

const char *const ConstantModuleInfo::CLASS_NAME = "ConstantModuleInfo";

} // namespace Tessera
