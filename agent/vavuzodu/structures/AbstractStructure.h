#ifndef TESSERA_ABSTRACTSTRUCTURE_H
#define TESSERA_ABSTRACTSTRUCTURE_H

#include <cstddef>
#include <vector>

#include "structures/InstancePool.h"
#include "structures/Object.h"

namespace Tessera {

class ClassFile;
class DataInput;
class DataOutput;

// Base of every part of a class file. Structures come from per-class pools
// (getInstance) and go back with freeInstance, which first releases what they own.
class AbstractStructure : public orvane::Object {
    TESSERA_CLASS(AbstractStructure, orvane::Object)
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
    // Characters (not NUL-terminated) and length of the Utf8 entry at index in
    // the class file; null and 0 when there is no class file or no such entry.
    const char *getUtf8Chars(int index) const;
    int getUtf8Length(int index) const;

    // u2 count, then each structure. A null one is a caller's fault: it is logged
    // with what and its position, and left out of the count as well
    // as the body, so the written class stays readable.
    template <class T>
    static void writeList(DataOutput *output, const std::vector<T *> &list, const char *what)
    {
        size_t present = 0;
        for (T *entry : list)
            present += entry != nullptr;
        writeListCount(output, present);
        for (size_t i = 0; i < list.size(); i++)
            writeListEntry(output, list[i], what, i);
    }

    // A pooled T (getInstance) bound to classFile, with its body read from input.
    template <class T>
    static T *readInstance(DataInput *input, ClassFile *classFile)
    {
        T *s = T::getInstance();
        s->setClassFile(classFile);
        s->read(input);
        return s;
    }

    AbstractStructure *nextInstance;
    ClassFile *classFile;
    bool initialised;

private:
    // The parts of writeList that need the output and the log.
    static void writeListCount(DataOutput *output, size_t count);
    static void writeListEntry(DataOutput *output, AbstractStructure *entry, const char *what, size_t position);
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
