#include "structures/ConstantLongInfo.h"

namespace Tessera {

const char *const ConstantLongInfo::CLASS_NAME = "ConstantLongInfo";

} // namespace Tessera
