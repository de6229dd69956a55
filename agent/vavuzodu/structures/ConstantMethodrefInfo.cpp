#include "structures/ConstantMethodrefInfo.h"

namespace Tessera {

const char *const ConstantMethodrefInfo::CLASS_NAME = "ConstantMethodrefInfo";

} // namespace Tessera
