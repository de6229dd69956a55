#include "structures/LocalVariableTypeTableAttribute.h"

#include "io/Log.h"

namespace Tessera {

const char *const LocalVariableTypeTableAttribute::CLASS_NAME = "LocalVariableTypeTableAttribute";
const char *const LocalVariableTypeTableAttribute::ATTRIBUTE_NAME = "LocalVariableTypeTable";

void LocalVariableTypeTableAttribute::debug(const char *prefix) const
{
    Log::debug("%s LocalVariableTypeTable attribute with %d entries", prefix, static_cast<int>(table.size()));
}

} // namespace Tessera
