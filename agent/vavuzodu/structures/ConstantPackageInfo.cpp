#include "structures/ConstantPackageInfo.h"

namespace Tessera {

const char *const ConstantPackageInfo::CLASS_NAME = "ConstantPackageInfo";

} // namespace Tessera
