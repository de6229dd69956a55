#include "structures/ConstantReference.h"

namespace Tessera {

const char *const ConstantReference::CLASS_NAME = "ConstantReference";

const char *ConstantReference::getVerbose() const { return getVerboseOfEntry(first); }

} // namespace Tessera
