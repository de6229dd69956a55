// Entry points of tiagent, the JVMTI build of the agent.
#include <jni.h>

#include "LiveProfiling.h"
#include "LiveProfilingSession.h"

namespace {

void initOrvane(const char *options, JavaVM *vm, bool attach)
{
    bool switching = LiveProfiling::liveProfilingSession != nullptr;
    LiveProfiling::liveProfilingSession = LiveProfilingSession::getInstance();
    LiveProfiling::liveProfilingSession->init(vm, options, attach, switching);
}

} // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM *vm, char *options, void *)
{
    initOrvane(options, vm, false);
    return 0;
}

extern "C" JNIEXPORT jint JNICALL Agent_OnAttach(JavaVM *vm, char *options, void *)
{
    initOrvane(options, vm, true);
    return 0;
}

extern "C" JNIEXPORT void JNICALL Agent_OnUnload(JavaVM *)
{
    LiveProfiling::finalCleanup();
}
