#include "structures/ConstantInterfaceMethodrefInfo.h"

namespace Tessera {

const char *const ConstantInterfaceMethodrefInfo::CLASS_NAME = "ConstantInterfaceMethodrefInfo";

} // namespace Tessera
