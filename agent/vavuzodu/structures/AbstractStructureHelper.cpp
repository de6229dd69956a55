#include "structures/AbstractStructureHelper.h"

#include <cstdio>

namespace Tessera {

const int AccessFlags::allAccessFlags[12] = {0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x0020,
                                             0x0040, 0x0080, 0x0100, 0x0200, 0x0400, 0x0800};

namespace {
char hexBuffer[16];
}

const char *AbstractStructureHelper::padHexString(int value, int width)
{
    snprintf(hexBuffer, sizeof hexBuffer, "%0*x", width, static_cast<unsigned int>(value));
    return hexBuffer;
}

} // namespace Tessera
