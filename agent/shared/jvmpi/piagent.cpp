// The entry points of piagent: the VM loads the library and calls
// JVM_OnLoad; the agent's Java communication thread enters through its native.
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "MessageUtil.h"

extern "C" __attribute__((visibility("default"))) jint JVM_OnLoad(JavaVM *vm, char *options, void *)
{
    if (PiProfiling::session == nullptr)
        PiProfiling::session = new PiProfilingSession();
    PiProfiling::session->init(vm, options, false, false);
    return JNI_OK;
}

// The calling Java thread serves the front end once the native thread has
// handed the connection over.
extern "C" __attribute__((visibility("default"))) void JNICALL Java_com_orvane_agent_Agent_enterCommunication(JNIEnv *env, jclass, jobject,
                                                                                                           jint)
{
    if (PiProfiling::session == nullptr) {
        MessageUtil::message("The native library has not been initialized.");
        return;
    }
    PiProfiling::session->javaCommThreadEnter(env);
}
