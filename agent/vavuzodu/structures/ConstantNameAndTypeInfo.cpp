#include "structures/ConstantNameAndTypeInfo.h"

namespace Tessera {

const char *const ConstantNameAndTypeInfo::CLASS_NAME = "ConstantNameAndTypeInfo";

const char *ConstantNameAndTypeInfo::getVerbose() const { return getVerboseOfEntry(first); }

} // namespace Tessera
