#include "bytecode/OffsetMap.h"

#include <algorithm>

namespace Tessera {

int OffsetMap::findOld(int pc) const
{
    const int *end = oldOffsets + oldCount;
    const int *p = std::upper_bound(oldOffsets, end, pc);
    if (p == oldOffsets || p[-1] != pc)
        return -1;
    return static_cast<int>(p - oldOffsets) - 1;
}

} // namespace Tessera
