#ifndef AGENT_JVMTIBUFFER_H
#define AGENT_JVMTIBUFFER_H

#include <jvmti.h>

#include "LiveProfiling.h"

// A buffer that JVMTI allocated for a reply, released when the scope ends.
template <class T>
class JvmtiBuffer {
public:
    explicit JvmtiBuffer(jvmtiEnv *jvmti = LiveProfiling::instance().jvmti) : jvmti(jvmti), pointer(nullptr) {}
    ~JvmtiBuffer()
    {
        if (pointer != nullptr)
            jvmti->Deallocate(reinterpret_cast<unsigned char *>(pointer));
    }
    JvmtiBuffer(const JvmtiBuffer &) = delete;
    JvmtiBuffer &operator=(const JvmtiBuffer &) = delete;
    T **out() { return &pointer; }
    T *get() const { return pointer; }

private:
    jvmtiEnv *jvmti;
    T *pointer;
};

#endif
