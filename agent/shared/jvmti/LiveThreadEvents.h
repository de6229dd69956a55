#ifndef AGENT_LIVETHREADEVENTS_H
#define AGENT_LIVETHREADEVENTS_H

#include <jni.h>
#include <jvmti.h>

class LiveThreadManager;

// What the Java side tells about threads (com.orvane.agent.Agent natives):
// a thread about to start, a thread's new name, and the probe rows it
// registers. Callable from any application thread.
class LiveThreadEvents {
public:
    // A thread starts: a start registered for its object gives it its
    // creator and the creator's path.
    static void onThreadStart(JNIEnv *env, jthread thread, LiveThreadManager *manager);
};

#endif
