// The natives of the method hooks in classes piagent rewrote
// (com.orvane.agent.InstrumentationCallee): entries and exits reach the
// CPU session's call trees on the calling thread's manager, the thread
// being its JNIEnv* as in the VM's own events.
#include "LiveCpuProfilingSession.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "LiveThreadManager.h"

#define PI_NATIVE extern "C" __attribute__((visibility("default")))

namespace {

LiveCpuProfilingSession *cpuSession()
{
    LiveProfilingSession *session = LiveProfiling::session;
    return session != nullptr ? session->getCpuSession() : nullptr;
}

} // namespace

PI_NATIVE jlong JNICALL Java_com_orvane_agent_InstrumentationCallee_enterMethod(JNIEnv *env, jclass, jint id, jshort line, jboolean keep, jlong,
                                                                                jboolean timed)
{
    LiveCpuProfilingSession *cpu = cpuSession();
    if (cpu == nullptr || id == 0)
        return 0;
    return cpu->agentMethodEntry(cpu->getCurrentThreadManager(env, true), id, static_cast<uint16_t>(line), false, keep != JNI_FALSE,
                                 timed != JNI_FALSE);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_enterFilteredMethod(JNIEnv *env, jclass, jint id, jshort line, jlong)
{
    LiveCpuProfilingSession *cpu = cpuSession();
    if (cpu != nullptr && id != 0)
        cpu->agentMethodEntry(cpu->getCurrentThreadManager(env, true), id, static_cast<uint16_t>(line), true, false, true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_exitMethod(JNIEnv *env, jclass, jint id, jlong)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->agentMethodExit(cpu->getCurrentThreadManager(env, true), id, false);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_exitFilteredMethod(JNIEnv *env, jclass, jint id, jlong)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->agentMethodExit(cpu->getCurrentThreadManager(env, true), id, true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_exceptionHandlerMethod(JNIEnv *env, jclass, jint id, jlong)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->agentMethodExceptionHandler(cpu->getCurrentThreadManager(env, true), id);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_lineNumberHint(JNIEnv *env, jclass, jshort line, jlong)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->agentLineNumberHint(cpu->getCurrentThreadManager(env, true), static_cast<uint16_t>(line));
}

// Nothing sets the hooks' Java switch in this build: they always reach the
// natives, and the CPU session decides whether it records.
PI_NATIVE jboolean JNICALL Java_com_orvane_agent_InstrumentationCallee_isRecording0(JNIEnv *, jclass)
{
    return JNI_TRUE;
}
