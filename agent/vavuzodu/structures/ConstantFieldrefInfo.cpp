#include "structures/ConstantFieldrefInfo.h"

namespace Tessera {

const char *const ConstantFieldrefInfo::CLASS_NAME = "ConstantFieldrefInfo";

} // namespace Tessera
