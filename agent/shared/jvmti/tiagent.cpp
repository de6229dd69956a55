// Entry points of tiagent, the JVMTI build of the agent.
#include <jni.h>

#include "LiveProfiling.h"

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *options, void *)
{
    LiveProfiling::instance().load(vm, options, false);
    return 0;
}

extern "C" JNIEXPORT jint JNICALL Agent_OnAttach(JavaVM *vm, char *options, void *)
{
    LiveProfiling::instance().load(vm, options, true);
    return 0;
}

extern "C" JNIEXPORT void JNICALL Agent_OnUnload(JavaVM *)
{
    LiveProfiling::instance().finalCleanup();
}
