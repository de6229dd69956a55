// The entry point of piagent: the VM loads the library and calls JVM_OnLoad.
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"

extern "C" __attribute__((visibility("default"))) jint JVM_OnLoad(JavaVM *vm, char *options, void *)
{
    if (LiveProfiling::session == nullptr)
        LiveProfiling::session = new LiveProfilingSession();
    LiveProfiling::session->init(vm, options, false, false);
    return JNI_OK;
}
