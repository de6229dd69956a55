#ifndef VAVUZODU_ABSTRACTSTRUCTURE_H
#define VAVUZODU_ABSTRACTSTRUCTURE_H

#include "structures/InstancePool.h"
#include "structures/Object.h"

namespace Tessera {

class ClassFile;
class DataInput;
class DataOutput;

// Base of every part of a class file. Structures come from per-class pools
// (getInstance) and go back with freeInstance, which first releases what they own.
class AbstractStructure : public orvane::Object {
    ORVANE_CLASS(AbstractStructure, orvane::Object)
public:
    AbstractStructure() : nextInstance(nullptr), classFile(nullptr), initialised(false) {}

    virtual void read(DataInput *) {}
    virtual void write(DataOutput *) {}
    // Releases what the structure owns and returns it to its class's pool.
    virtual void freeInstance() {}

    ClassFile *getClassFile() const { return classFile; }
    void setClassFile(ClassFile *cf) { classFile = cf; }

    AbstractStructure *getNextInstance() const { return nextInstance; }
    void setNextInstance(AbstractStructure *next) { nextInstance = next; }

protected:
    AbstractStructure *nextInstance;
    ClassFile *classFile;
    bool initialised;
};

} // namespace Tessera

// getInstance (pooled object, initInstance run) and freeInstance (release, then
// back to the pool) of a pooled structure class. The class defines
// initInstance() and release().
#define TESSERA_POOLED(Class)                                                  \
public:                                                                        \
    static Class *getInstance()                                                \
    {                                                                          \
        Class *o = ts_helper::poolOf<Class>().getInstance();                  \
        o->initInstance();                                                     \
        return o;                                                              \
    }                                                                          \
    void freeInstance() override                                               \
    {                                                                          \
        release();                                                             \
        ts_helper::poolOf<Class>().freeInstance(this);                        \
    }

#endif
