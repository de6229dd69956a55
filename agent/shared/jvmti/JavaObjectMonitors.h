#ifndef AGENT_JAVAOBJECTMONITORS_H
#define AGENT_JAVAOBJECTMONITORS_H

#include <jni.h>

#include "MonitorSet.h"

// The four data locks as Java objects, entered with JNI MonitorEnter: the
// locks of the recorder, which runs without a JVMTI environment. The objects
// come from the agent's Java side in the order heap, class, thread, dead
// threads and are kept as global references.
class JavaObjectMonitors : public MonitorSet::Backend {
public:
    explicit JavaObjectMonitors(JavaVM *vm) : vm(vm), objects{} {}
    // Takes the four objects of `monitors`; false (nothing kept) when the
    // array is not four non-null objects.
    bool take(JNIEnv *env, jobjectArray monitors);
    // Enters or leaves one lock on the calling thread. A thread without a
    // JNI environment takes nothing; the start-up lock is none of the four.
    void enter(int which) override;
    void exit(int which) override;

private:
    jobject objectOf(int which) const;
    JNIEnv *currentEnv() const;

    JavaVM *vm;
    // Heap, class, thread, dead threads.
    jobject objects[4];
};

#endif
