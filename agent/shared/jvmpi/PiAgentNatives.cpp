// The natives of the agent's Java classes in piagent. The VM binds them by
// their names from the library it loaded; each reaches the one live session.
#include <jni.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "Counter.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "PiSnapshots.h"
#include "SessionLock.h"

#define PIAGENT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The live session; null without one, said once.
LiveProfilingSession *liveSession()
{
    static std::atomic<bool> reported(false);
    LiveProfilingSession *session = LiveProfiling::session;
    if (session == nullptr && !reported.exchange(true)) {
        MessageUtil::message("The native library has not been initialized.");
        MessageUtil::message("Profiling commands will be ignored.");
        MessageUtil::message("Did you forget the -agentpath parameter?");
    }
    return session;
}

LiveCpuProfilingSession *cpuSession()
{
    LiveProfilingSession *session = liveSession();
    return session != nullptr ? session->getCpuSession() : nullptr;
}

} // namespace

PIAGENT_EXPORT jlong JNICALL Java_com_orvane_agent_Agent_getCounter(JNIEnv *, jclass)
{
    return static_cast<jlong>(Counter::getUsec());
}

PIAGENT_EXPORT jint JNICALL Java_com_orvane_agent_Agent_getPort(JNIEnv *, jclass)
{
    LiveProfilingSession *session = liveSession();
    return session != nullptr ? static_cast<jint>(session->getOptions().port) : 0;
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_Agent_runnableSleep(JNIEnv *, jclass, jlong millis)
{
    JavaNatives::runnableSleep(millis);
}

// There is no JVMTI here.
PIAGENT_EXPORT jboolean JNICALL Java_com_orvane_agent_Agent_isJvmti11(JNIEnv *, jclass)
{
    return JNI_FALSE;
}

PIAGENT_EXPORT jboolean JNICALL Java_com_orvane_agent_Agent_isOffline(JNIEnv *, jclass)
{
    LiveProfilingSession *session = liveSession();
    return session != nullptr && session->getOptions().offline ? JNI_TRUE : JNI_FALSE;
}

PIAGENT_EXPORT jboolean JNICALL Java_com_orvane_agent_Agent_hasConfig(JNIEnv *, jclass)
{
    LiveProfilingSession *session = liveSession();
    return session != nullptr && session->getConfig() != nullptr ? JNI_TRUE : JNI_FALSE;
}

// piagent keeps no script directory.
PIAGENT_EXPORT jbyteArray JNICALL Java_com_orvane_agent_Agent_getScriptDirName(JNIEnv *, jclass)
{
    return nullptr;
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_Agent_updateVmStartTime0(JNIEnv *, jclass)
{
    if (LiveProfilingSession *session = liveSession())
        session->updateVmStartTime(Counter::getUsec(), true);
}

// Once per process: the calling thread is the application's main thread.
PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_Agent_agentMainThreadStarted(JNIEnv *env, jclass)
{
    static std::atomic<bool> done(false);
    LiveCpuProfilingSession *cpu = cpuSession();
    if (cpu == nullptr || done.exchange(true))
        return;
    cpu->agentMainThreadStarted(env);
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_util_MessageUtil_debugOut0(JNIEnv *env, jclass, jstring text)
{
    JavaNatives::debugOut(env, text);
}

// Not inside a JVMTI agent: the process id.
PIAGENT_EXPORT jint JNICALL Java_com_orvane_agent_java_JavaAgentManager_getPid(JNIEnv *, jclass)
{
    return static_cast<jint>(getpid());
}

PIAGENT_EXPORT jint JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getSnapshotId(JNIEnv *env, jclass, jbyteArray bytes,
                                                                                      jint value)
{
    return JavaNatives::storeSnapshotId(env, bytes, value);
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_saveSnapshot0(JNIEnv *env, jclass, jbyteArray path, jobject,
                                                                             jboolean)
{
    LiveProfilingSession *session = liveSession();
    if (session == nullptr || path == nullptr)
        return;
    std::string name = JavaNatives::bytes(env, path);
    PiSnapshots::saveSnapshot(session, name.c_str(), env);
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_setInclusiveFilter0(JNIEnv *env, jclass, jobjectArray filters)
{
    LiveProfilingSession *session = liveSession();
    if (session == nullptr || session->getClassSession() == nullptr || filters == nullptr)
        return;
    std::vector<std::string> list = JavaNatives::strings(env, filters);
    SessionLock lock(session, IM_CLASS);
    session->getClassSession()->setFilters(list, true);
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_startCallTracer0(JNIEnv *, jclass, jint cap, jboolean filtered,
                                                                                jboolean restart)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->setTraceRecord(true, filtered != JNI_FALSE, restart != JNI_FALSE, static_cast<uint32_t>(cap < 0 ? 0 : cap));
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_stopCallTracer0(JNIEnv *, jclass)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->setTraceRecord(false, false, false, 0);
}

PIAGENT_EXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_triggerThreadDump0(JNIEnv *, jclass)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->doThreadDump();
}
