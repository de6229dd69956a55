#ifndef AGENT_LIVEHEAPPROFILINGHELPER_H
#define AGENT_LIVEHEAPPROFILINGHELPER_H

class ClassData;

// Identities of tracked heap objects. Class objects take their JVMTI tag from
// here, so that a class is also a tracked object.
class LiveHeapProfilingHelper {
public:
    // A new non-zero allocation id for an object of `classData`. Thread-safe.
    static long long getNewAllocItemId(ClassData *classData);
};

#endif
