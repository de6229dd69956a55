#include "structures/AbstractStructureHelper.h"

#include <cstdio>

namespace Tessera {

namespace {
char hexBuffer[16];
}

const char *AbstractStructureHelper::padHexString(int value, int width)
{
    snprintf(hexBuffer, sizeof hexBuffer, "%0*x", width, static_cast<unsigned int>(value));
    return hexBuffer;
}

} // namespace Tessera
