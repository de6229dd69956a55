#include "bytecode/DescriptorHelper.h"

#include <cstring>

#include "structures/MethodInfo.h"

namespace Tessera {

namespace {

void copyName(char *buffer, int size, const char *from, const char *to)
{
    if (buffer == nullptr || size <= 0)
        return;
    int n = static_cast<int>(to - from);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(buffer, from, n);
    buffer[n] = '\0';
}

} // namespace

char DescriptorHelper::getNextParameterType(const char **cursor, const char *end, char *nameBuffer,
                                            int nameBufferSize)
{
    const char *p = *cursor;
    if (p < end && *p == '(')
        p++;
    if (p < end && *p == ')')
        p++;
    if (p >= end)
        return 0;
    const char *start = p;
    while (p < end && *p == '[')
        p++;
    if (p >= end)
        return 0;
    char letter = *p;
    if (letter == 'L') {
        const char *semi = static_cast<const char *>(std::memchr(p, ';', end - p));
        if (semi == nullptr)
            return 0;
        if (start == p)
            copyName(nameBuffer, nameBufferSize, p + 1, semi);
        else
            copyName(nameBuffer, nameBufferSize, start, semi + 1);
        *cursor = semi + 1;
        return 'L';
    }
    if (std::strchr("BCDFIJSZV", letter) == nullptr)
        return 0;
    *cursor = p + 1;
    if (start != p) {
        copyName(nameBuffer, nameBufferSize, start, p + 1);
        return 'L';
    }
    return letter;
}

int DescriptorHelper::countParameters(ClassFile *, MethodInfo *method, bool inSlots)
{
    const char *cursor = method->getSignature();
    if (cursor == nullptr)
        return 0;
    const char *end = cursor + method->getSignatureLength();
    if (cursor < end && *cursor == '(')
        cursor++;
    int count = 0;
    while (cursor < end && *cursor != ')') {
        char t = getNextParameterType(&cursor, end, nullptr, 0);
        if (t == 0)
            break;
        count += inSlots && (t == 'J' || t == 'D') ? 2 : 1;
    }
    return count;
}

} // namespace Tessera
