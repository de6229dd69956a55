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
    return liveSession() != nullptr && LiveProfiling::instance().jvmti11 ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_Agent_isOffline(JNIEnv *, jclass)
{
    return liveSession() != nullptr && LiveProfiling::instance().offline ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_Agent_hasConfig(JNIEnv *, jclass)
{
    return liveSession() != nullptr && LiveProfiling::instance().configAtStartup ? JNI_TRUE : JNI_FALSE;
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

// Appends bytes to a writer the agent lent by handle; an unknown handle or
// a range outside the array writes nothing.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_writeData(JNIEnv *env, jclass, jlong handle,
                                                                        jbyteArray bytes, jint offset, jint length)
{
    if (liveSession() == nullptr || bytes == nullptr || offset < 0 || length <= 0 ||
        static_cast<jlong>(offset) + length > env->GetArrayLength(bytes)) {
        return;
    }
    jbyte *elements = env->GetByteArrayElements(bytes, nullptr);
    if (elements == nullptr)
        return;
    if (!JavaWriterHandles::write(handle, elements + offset, length))
        MessageUtil::message("writeData: unknown writer handle %lld", static_cast<long long>(handle));
    env->ReleaseByteArrayElements(bytes, elements, JNI_ABORT);
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

// result[0]: the configuration's path as bytes, result[1]: the XML text the
// front end sent (null for a file or without one); returns the id. An array
// of fewer than two elements gets nothing stored.
extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_Agent_getConfig(JNIEnv *env, jclass, jobjectArray result)
{
    LiveProfilingSession *session = liveSession();
    if (session == nullptr || session->getConfig() == nullptr)
        return 0;
    const char *xml = nullptr;
    const char *path = nullptr;
    int id = 0;
    session->getConfig()->getXmlConfig(&xml, &path, &id);
    if (result == nullptr || env->GetArrayLength(result) < 2) {
        MessageUtil::message("getConfig: an array of two elements is needed");
        return id;
    }
    jbyteArray pathBytes = nullptr;
    if (path != nullptr) {
        jsize length = static_cast<jsize>(strlen(path));
        pathBytes = env->NewByteArray(length);
        if (pathBytes == nullptr) {
            env->ExceptionClear();
            return id;
        }
        env->SetByteArrayRegion(pathBytes, 0, length, reinterpret_cast<const jbyte *>(path));
    }
    jstring text = xml != nullptr ? env->NewStringUTF(xml) : nullptr;
    if (xml != nullptr && text == nullptr)
        env->ExceptionClear();
    env->SetObjectArrayElement(result, 0, pathBytes);
    env->SetObjectArrayElement(result, 1, text);
    if (env->ExceptionCheck())
        env->ExceptionClear();
    return id;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_agentMainThreadStarted(JNIEnv *, jclass)
{
    static std::atomic<bool> started(false);
    if (liveSession() == nullptr || started.exchange(true))
        return;
    if (CpuProfilingSession *cpu = LiveProfiling::instance().getCpuSession())
        cpu->agentMainThreadStarted();
}
