// The small services the agent's Java classes ask of the native library:
// time, port, paths, switches, the configuration, the snapshot id bytes, the
// debug file, the inclusive filters and the writers lent to the Java side.
#include <jni.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "JavaWriterHandles.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "JavaNatives.h"
#include "MessageUtil.h"
#include "NoSessionReport.h"
#include "ProfilingSession.h"
#include "SessionLock.h"
#include "InternalMonitor.h"

namespace {

// The live session; null (reported once) without one.
LiveProfilingSession *liveSession()
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr)
        NoSessionReport::report();
    return session;
}

} // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_orvane_agent_Agent_getCounter(JNIEnv *, jclass)
{
    return static_cast<jlong>(Counter::getUsec());
}

extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_Agent_getPort(JNIEnv *, jclass)
{
    LiveProfilingSession *session = liveSession();
    return session != nullptr ? static_cast<jint>(session->getOptions().port) : 0;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_runnableSleep(JNIEnv *, jclass, jlong millis)
{
    JavaNatives::runnableSleep(millis);
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_Agent_isJvmti11(JNIEnv *, jclass)
{
    return liveSession() != nullptr && LiveProfiling::instance().isJvmti11() ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_Agent_isOffline(JNIEnv *, jclass)
{
    return liveSession() != nullptr && LiveProfiling::instance().isOffline() ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_Agent_hasConfig(JNIEnv *, jclass)
{
    return liveSession() != nullptr && LiveProfiling::instance().hasConfigAtStartup() ? JNI_TRUE : JNI_FALSE;
}

// Null without a script directory; else one byte (1: a temporary directory
// of the agent's own, 0: the session's directory) and the name's bytes.
extern "C" JNIEXPORT jbyteArray JNICALL Java_com_orvane_agent_Agent_getScriptDirName(JNIEnv *env, jclass)
{
    LiveProfilingSession *session = liveSession();
    if (session == nullptr)
        return nullptr;
    const std::string &dir = LiveProfiling::instance().scriptDirName;
    if (dir.empty())
        return nullptr;
    bool temporary = dir != session->getOptions().scriptDirName();
    std::vector<jbyte> bytes;
    bytes.push_back(temporary ? 1 : 0);
    bytes.insert(bytes.end(), dir.begin(), dir.end());
    jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
    if (array != nullptr)
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()), bytes.data());
    return array;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_updateVmStartTime0(JNIEnv *, jclass)
{
    if (LiveProfilingSession *session = liveSession())
        session->updateVmStartTime(Counter::getUsec(), true);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_writeData(JNIEnv *env, jclass, jlong handle,
                                                                        jbyteArray bytes, jint offset, jint length)
{
    if (liveSession() != nullptr)
        JavaWriterHandles::writeFromJava(env, handle, bytes, offset, length);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_util_MessageUtil_debugOut0(JNIEnv *env, jclass, jstring text)
{
    JavaNatives::debugOut(env, text);
}

extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_java_JavaAgentManager_getPid(JNIEnv *, jclass)
{
    return LiveProfiling::instance().jvmti != nullptr ? 0 : static_cast<jint>(getpid());
}

// Stores the value in the array's first four bytes in host byte order; 4,
// or 0 when the array has fewer than four bytes.
extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getSnapshotId(JNIEnv *env, jclass,
                                                                                            jbyteArray bytes,
                                                                                            jint value)
{
    return JavaNatives::storeSnapshotId(env, bytes, value);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_setInclusiveFilter0(JNIEnv *env, jclass,
                                                                                          jobjectArray filters)
{
    LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    if (liveSession() == nullptr || classes == nullptr || filters == nullptr)
        return;
    std::vector<std::string> list = JavaNatives::strings(env, filters);
    SessionLock lock(classes->getProfilingSession(), IM_CLASS);
    classes->setFilters(list, true);
}

extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_Agent_getConfig(JNIEnv *env, jclass, jobjectArray result)
{
    LiveProfilingSession *session = liveSession();
    return session != nullptr ? JavaNatives::storeConfig(env, session->getConfig(), result) : 0;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_agentMainThreadStarted(JNIEnv *, jclass)
{
    static std::atomic<bool> started(false);
    if (liveSession() == nullptr || started.exchange(true))
        return;
    if (CpuProfilingSession *cpu = LiveProfiling::instance().getCpuSession())
        cpu->agentMainThreadStarted();
}
