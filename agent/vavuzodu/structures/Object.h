#ifndef TESSERA_OBJECT_H
#define TESSERA_OBJECT_H

#include <cstring>

namespace orvane {

// Root of every class of the bytecode library. The library has no run-time type
// information of its own: a type test compares class names (instanceOf).
class Object {
public:
    static const char *const CLASS_NAME;

    virtual const char *tiClassName() const;
    // True when name is this object's class name.
    virtual bool instanceOf(const char *name) const;
    // False unless a derived class says otherwise.
    virtual bool equals(const Object *other) const;
    // 0 unless a derived class says otherwise.
    virtual int hashCode() const;
    virtual ~Object();
};

} // namespace orvane

// Declares CLASS_NAME, tiClassName and instanceOf for a class derived from Base:
// instanceOf answers the class's own name and the names of its library bases.
#define TESSERA_CLASS(Class, Base)                                               \
public:                                                                         \
    static const char *const CLASS_NAME;                                        \
    const char *tiClassName() const override { return CLASS_NAME; }            \
    bool instanceOf(const char *name) const override                            \
    {                                                                           \
        return std::strcmp(name, CLASS_NAME) == 0 || Base::instanceOf(name);    \
    }

#endif
