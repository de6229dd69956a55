#include "structures/String.h"

#include "structures/InstancePool.h"

namespace orvane {

const char *const String::CLASS_NAME = "String";

String::String() : nextInstance(nullptr), chars(nullptr), length(0), hash(0) {}

String::String(const char *chars, int length) : nextInstance(nullptr), chars(chars), length(length), hash(0) {}

String *String::getInstance(const char *chars, int length)
{
    String *s = ts_helper::poolOf<String>().getInstance();
    s->initInstance(chars, length);
    return s;
}

void String::initInstance(const char *newChars, int newLength)
{
    chars = newChars;
    length = newLength;
    hash = 0;
}

void String::freeInstance()
{
    chars = nullptr;
    ts_helper::poolOf<String>().freeInstance(this);
}

int String::hashCode() const
{
    if (hash != 0 || length <= 0)
        return hash;
    unsigned int h = 0;
    for (int i = 0; i < length; i++)
        h = h * 31u + static_cast<unsigned char>(chars[i]);
    hash = static_cast<int>(h);
    return hash;
}

bool String::equals(const Object *other) const
{
    const String *o = static_cast<const String *>(other);
    return o->length == length && std::strncmp(o->chars, chars, length) == 0;
}

} // namespace orvane

bool eq_nt_str(const char *nt, const char *s, int n)
{
    if (nt == nullptr || s == nullptr)
        return false;
    return std::strlen(nt) == static_cast<size_t>(n) && std::memcmp(nt, s, n) == 0;
}

bool eq_2nt_str(const char *a, const char *b, int lengthOfA, int lengthOfB)
{
    if (a == nullptr || b == nullptr || lengthOfA != lengthOfB)
        return false;
    return std::strncmp(a, b, lengthOfA) == 0;
}
