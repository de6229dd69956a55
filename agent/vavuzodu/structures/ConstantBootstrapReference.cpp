#include "structures/ConstantBootstrapReference.h"

namespace Tessera {

const char *const ConstantBootstrapReference::CLASS_NAME = "ConstantBootstrapReference";

} // namespace Tessera
