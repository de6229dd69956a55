// The natives of the agent's Java classes in piagent. The VM binds them by
// their names from the library it loaded; each reaches the one live session.
#include <jni.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "Counter.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "JavaWriterHandles.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "PiNatives.h"
#include "PiSnapshots.h"
#include "SessionLock.h"

using PiNatives::cpuSession;
using PiNatives::liveSession;

// The live session; null without one, said once.
PiProfilingSession *PiNatives::liveSession()
{
    static std::atomic<bool> reported(false);
    PiProfilingSession *session = PiProfiling::session;
    if (session == nullptr && !reported.exchange(true)) {
        MessageUtil::message("The native library has not been initialized.");
        MessageUtil::message("Profiling commands will be ignored.");
        MessageUtil::message("Did you forget the -agentpath parameter?");
    }
    return session;
}

LiveCpuProfilingSession *PiNatives::cpuSession()
{
    PiProfilingSession *session = liveSession();
    return session != nullptr ? session->getCpuSession() : nullptr;
}

LiveCpuProfilingSession *PiNatives::cpuSessionIfAny()
{
    PiProfilingSession *session = PiProfiling::session;
    return session != nullptr ? session->getCpuSession() : nullptr;
}

PiClassProfilingSession *PiNatives::classSessionIfAny()
{
    PiProfilingSession *session = PiProfiling::session;
    return session != nullptr ? session->getClassSession() : nullptr;
}

PI_NATIVE jlong JNICALL Java_com_orvane_agent_Agent_getCounter(JNIEnv *, jclass)
{
    return static_cast<jlong>(Counter::getUsec());
}

PI_NATIVE jint JNICALL Java_com_orvane_agent_Agent_getPort(JNIEnv *, jclass)
{
    PiProfilingSession *session = liveSession();
    return session != nullptr ? static_cast<jint>(session->getOptions().port) : 0;
}

PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_runnableSleep(JNIEnv *, jclass, jlong millis)
{
    JavaNatives::runnableSleep(millis);
}

// There is no JVMTI here.
PI_NATIVE jboolean JNICALL Java_com_orvane_agent_Agent_isJvmti11(JNIEnv *, jclass)
{
    return JNI_FALSE;
}

PI_NATIVE jboolean JNICALL Java_com_orvane_agent_Agent_isOffline(JNIEnv *, jclass)
{
    PiProfilingSession *session = liveSession();
    return session != nullptr && session->getOptions().offline ? JNI_TRUE : JNI_FALSE;
}

PI_NATIVE jboolean JNICALL Java_com_orvane_agent_Agent_hasConfig(JNIEnv *, jclass)
{
    PiProfilingSession *session = liveSession();
    return session != nullptr && session->getConfig() != nullptr ? JNI_TRUE : JNI_FALSE;
}

// piagent keeps no script directory.
PI_NATIVE jbyteArray JNICALL Java_com_orvane_agent_Agent_getScriptDirName(JNIEnv *, jclass)
{
    return nullptr;
}

PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_updateVmStartTime0(JNIEnv *, jclass)
{
    if (PiProfilingSession *session = liveSession())
        session->updateVmStartTime(Counter::getUsec(), true);
}

// Once per process: the calling thread is the application's main thread.
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_agentMainThreadStarted(JNIEnv *env, jclass)
{
    static std::atomic<bool> done(false);
    LiveCpuProfilingSession *cpu = cpuSession();
    if (cpu == nullptr || done.exchange(true))
        return;
    cpu->agentMainThreadStarted(env);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_util_MessageUtil_debugOut0(JNIEnv *env, jclass, jstring text)
{
    JavaNatives::debugOut(env, text);
}

// Not inside a JVMTI agent: the process id.
PI_NATIVE jint JNICALL Java_com_orvane_agent_java_JavaAgentManager_getPid(JNIEnv *, jclass)
{
    return static_cast<jint>(getpid());
}

PI_NATIVE jint JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getSnapshotId(JNIEnv *env, jclass, jbyteArray bytes,
                                                                                      jint value)
{
    return JavaNatives::storeSnapshotId(env, bytes, value);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_saveSnapshot0(JNIEnv *env, jclass, jbyteArray path, jobject,
                                                                             jboolean)
{
    PiProfilingSession *session = liveSession();
    if (session == nullptr || path == nullptr)
        return;
    std::string name = JavaNatives::bytes(env, path);
    PiSnapshots::saveSnapshot(session, name.c_str(), env);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_setInclusiveFilter0(JNIEnv *env, jclass, jobjectArray filters)
{
    PiProfilingSession *session = liveSession();
    if (session == nullptr || session->getClassSession() == nullptr || filters == nullptr)
        return;
    std::vector<std::string> list = JavaNatives::strings(env, filters);
    SessionLock lock(session, IM_CLASS);
    session->getClassSession()->setFilters(list, true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_startCallTracer0(JNIEnv *, jclass, jint cap, jboolean filtered,
                                                                                jboolean restart)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->setTraceRecord(true, filtered != JNI_FALSE, restart != JNI_FALSE, static_cast<uint32_t>(cap < 0 ? 0 : cap));
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_stopCallTracer0(JNIEnv *, jclass)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->setTraceRecord(false, false, false, 0);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_triggerThreadDump0(JNIEnv *, jclass)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->doThreadDump();
}

PI_NATIVE jint JNICALL Java_com_orvane_agent_Agent_getConfig(JNIEnv *env, jclass, jobjectArray result)
{
    PiProfilingSession *session = liveSession();
    return session != nullptr ? JavaNatives::storeConfig(env, session->getConfig(), result) : 0;
}

PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_writeData(JNIEnv *env, jclass, jlong handle, jbyteArray bytes, jint offset,
                                                                 jint length)
{
    if (liveSession() != nullptr)
        JavaWriterHandles::writeFromJava(env, handle, bytes, offset, length);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_addBookmark(JNIEnv *env, jclass, jstring text)
{
    if (PiProfilingSession *session = liveSession())
        JavaNatives::addBookmark(env, session->getLiveSamplerSession(), text);
}

namespace {

// A method of java.lang.Thread returning an object, called on `target`
// (null: the static one); null, the exception cleared, when it fails.
jobject callThread(JNIEnv *env, jobject target, const char *name, const char *signature)
{
    jclass type = env->FindClass("java/lang/Thread");
    jmethodID method = nullptr;
    if (type != nullptr)
        method = target != nullptr ? env->GetMethodID(type, name, signature) : env->GetStaticMethodID(type, name, signature);
    jobject result = nullptr;
    if (method != nullptr)
        result = target != nullptr ? env->CallObjectMethod(target, method) : env->CallStaticObjectMethod(type, method);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        result = nullptr;
    }
    if (type != nullptr)
        env->DeleteLocalRef(type);
    return result;
}

} // namespace

// The thread about to be started is known by the name it starts under: the
// VM's thread start names the thread, not its Java object.
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_registerThreadStart(JNIEnv *env, jclass, jobject thread)
{
    LiveCpuProfilingSession *cpu = cpuSession();
    if (cpu == nullptr || thread == nullptr)
        return;
    jstring name = static_cast<jstring>(callThread(env, thread, "getName", "()Ljava/lang/String;"));
    if (name == nullptr)
        return;
    cpu->registerThreadStart(env, JavaNatives::text(env, name, ""));
    env->DeleteLocalRef(name);
}

// The VM names every thread at its THREAD_START and a manager keeps that
// name: a rename in Java reaches the agent through no event here.
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_setThreadName(JNIEnv *, jclass, jobject, jstring) {}

// The Java side's telemetry tick runs beside the native sampler thread: it
// brings the memory values and custom series, which the VM does not report.
PI_NATIVE jint JNICALL Java_com_orvane_agent_Sampler_initNative(JNIEnv *, jclass)
{
    return 1;
}

PI_NATIVE jboolean JNICALL Java_com_orvane_agent_Sampler_shouldSample(JNIEnv *, jclass)
{
    PiProfilingSession *session = PiProfiling::session;
    return session != nullptr && session->isVmTelemetryRecording() ? JNI_TRUE : JNI_FALSE;
}

// Without a session the tick is said once and answers false; the
// application goes on.
PI_NATIVE jboolean JNICALL Java_com_orvane_agent_Sampler_doSampling(JNIEnv *env, jclass, jlong memory1, jlong memory2,
                                                                        jintArray values)
{
    PiProfilingSession *session = liveSession();
    if (session == nullptr)
        return JNI_FALSE;
    return session->addJavaSample(memory1, memory2, JavaNatives::ints(env, values)) ? JNI_TRUE : JNI_FALSE;
}

PI_NATIVE void JNICALL Java_com_orvane_agent_Sampler_initDescriptions(JNIEnv *env, jclass, jobjectArray names, jintArray types,
                                                                          jlongArray values)
{
    if (liveSession() == nullptr)
        return;
    JavaNatives::initDescriptions(
        env, names, types, values,
        [] {
            PiProfilingSession *session = PiProfiling::session;
            return session != nullptr ? session->getLiveSamplerSession() : nullptr;
        },
        [] { return PiProfiling::session != nullptr; });
}
