#include "structures/InnerClassesAttribute.h"

#include "io/Log.h"

namespace Tessera {

const char *const InnerClassesAttribute::CLASS_NAME = "InnerClassesAttribute";
const char *const InnerClassesAttribute::ATTRIBUTE_NAME = "InnerClasses";

void InnerClassesAttribute::debug(const char *prefix) const
{
    Log::debug("%s InnerClasses attribute with %d classes", prefix, static_cast<int>(table.size()));
}

} // namespace Tessera
