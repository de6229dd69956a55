#ifndef AGENT_EVENTHANDLER_H
#define AGENT_EVENTHANDLER_H

#include <jni.h>
#include <jvmti.h>

class LiveProfiling;

// The JVMTI edge: capabilities, event callbacks and the set-up that runs when
// the VM is initialised. Callbacks turn VM types into ours and call the session.
class EventHandler {
public:
    // Creates the data locks (once), notes the VM start and, unless
    // switching, starts the communication with the front end.
    static void init(LiveProfiling &edge, JNIEnv *env, bool switching);
    // Adds the profiling capabilities and installs the callbacks; false when
    // the callbacks could not be set. `edge` is the VM edge being started.
    static bool enableEvents(LiveProfiling &edge, JNIEnv *env, bool attach);

    static void JNICALL ovVMInit(jvmtiEnv *jvmti, JNIEnv *env, jthread thread);
    static void JNICALL ovVMDeath(jvmtiEnv *jvmti, JNIEnv *env);
};

#endif
