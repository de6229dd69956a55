#ifndef KVR_AGENT_SHARED_CONFIG_ANNOTATIONMETHODANDCLASS_H
#define KVR_AGENT_SHARED_CONFIG_ANNOTATIONMETHODANDCLASS_H

#include <cstddef>
#include <cstdint>
#include <string>

// A method named by class, method name and signature, as the session configuration lists probe,
// exceptional and ignored methods. Class names compare with '.' and '/' as the same byte, so a
// dotted name from the configuration finds the slash name of a loading class.
class AnnotationMethodAndClass {
public:
    AnnotationMethodAndClass(const std::string &className, const std::string &methodName,
                             const std::string &signature);

    // h = h * 31 + byte over the method name, then the signature, then the class name without
    // its '.' and '/' bytes; unsigned bytes, modulo 2^32. Computed once.
    uint32_t hashCode() const;
    bool equals(const AnnotationMethodAndClass &other) const;
    bool operator==(const AnnotationMethodAndClass &other) const { return equals(other); }

    const std::string &getClassName() const { return className_; }
    const std::string &getMethodName() const { return methodName_; }
    const std::string &getSignature() const { return signature_; }

    struct Hash {
        size_t operator()(const AnnotationMethodAndClass &key) const { return key.hashCode(); }
    };

private:
    std::string className_;
    std::string methodName_;
    std::string signature_;
    mutable uint32_t hash_ = 0;
};

#endif
