#include "structures/LocalVariableTableAttribute.h"

#include "io/Log.h"

namespace Tessera {

const char *const LocalVariableTableAttribute::CLASS_NAME = "LocalVariableTableAttribute";
const char *const LocalVariableTableAttribute::ATTRIBUTE_NAME = "LocalVariableTable";

void LocalVariableTableAttribute::debug(const char *prefix) const
{
    Log::debug("%s LocalVariableTable attribute with %d entries", prefix, static_cast<int>(table.size()));
}

} // namespace Tessera
