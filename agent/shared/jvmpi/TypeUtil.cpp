#include "TypeUtil.h"

int TypeUtil::jvmpiToOrvaneArray(int jvmpiType)
{
    switch (jvmpiType) {
    case 0:
        return 2; // an object
    case 2:
        return 3; // an object array
    case 4:
        return 4; // boolean
    case 5:
        return 6; // char
    case 6:
        return 10; // float
    case 7:
        return 11; // double
    case 8:
        return 5; // byte
    case 9:
        return 7; // short
    case 10:
        return 8; // int
    case 11:
        return 9; // long
    default:
        return 0;
    }
}

int TypeUtil::getTypeLength(int jvmpiType)
{
    switch (jvmpiType) {
    case 2:
        return static_cast<int>(sizeof(void *));
    case 4:
    case 8:
        return 1;
    case 5:
    case 9:
        return 2;
    case 6:
    case 10:
        return 4;
    case 7:
    case 11:
        return 8;
    default:
        return 0;
    }
}
