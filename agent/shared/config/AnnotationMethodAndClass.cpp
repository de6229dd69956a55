#include "AnnotationMethodAndClass.h"

namespace {

bool isSeparator(char c)
{
    return c == '.' || c == '/';
}

} // namespace

AnnotationMethodAndClass::AnnotationMethodAndClass(const std::string &className, const std::string &methodName,
                                                   const std::string &signature)
    : className_(className), methodName_(methodName), signature_(signature)
{
}

uint32_t AnnotationMethodAndClass::hashCode() const
{
    if (hash_ != 0)
        return hash_;
    uint32_t h = 0;
    for (unsigned char c : methodName_)
        h = h * 31 + c;
    for (unsigned char c : signature_)
        h = h * 31 + c;
    for (unsigned char c : className_)
        if (!isSeparator(static_cast<char>(c)))
            h = h * 31 + c;
    hash_ = h;
    return h;
}

bool AnnotationMethodAndClass::equals(const AnnotationMethodAndClass &other) const
{
    if (methodName_ != other.methodName_ || signature_ != other.signature_ ||
        className_.size() != other.className_.size())
        return false;
    for (size_t i = 0; i < className_.size(); i++) {
        char a = className_[i];
        char b = other.className_[i];
        if (a != b && !(isSeparator(a) && isSeparator(b)))
            return false;
    }
    return true;
}
