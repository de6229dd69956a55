#include "structures/LineNumberTableAttribute.h"

#include "io/Log.h"

namespace Tessera {

const char *const LineNumberTableAttribute::CLASS_NAME = "LineNumberTableAttribute";
const char *const LineNumberTableAttribute::ATTRIBUTE_NAME = "LineNumberTable";

void LineNumberTableAttribute::debug(const char *prefix) const
{
    Log::debug("%s LineNumberTable attribute with %d entries", prefix, static_cast<int>(table.size()));
}

} // namespace Tessera
