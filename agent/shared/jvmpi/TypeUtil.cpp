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
