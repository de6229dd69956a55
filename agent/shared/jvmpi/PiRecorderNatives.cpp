// The recorder's natives in piagent: the recorder's switch, its policies and
// its snapshots run on the live session the VM's JVM_OnLoad made, with the
// same work as in tiagent (JavaNatives, Recorder, SnapshotWriter).
#include <jni.h>

#include <atomic>
#include <string>

#include "JavaNatives.h"
#include "PiClassProfilingSession.h"
#include "LiveCpuProfilingSession.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "MessageUtil.h"
#include "PiSnapshots.h"
#include "PiNatives.h"

// The recorder starts the agent from Java in a VM that did not load it. Here
// the VM loaded it at its start: the live session is there already and keeps
// its own locks and configuration.
PI_NATIVE void JNICALL Java_com_orvane_agent_java_JavaAgentManager_init0(JNIEnv *, jclass, jstring, jobjectArray)
{
    if (PiProfiling::session != nullptr)
        MessageUtil::message("The agent is already running in this VM; the recorder does not start again.");
    else
        MessageUtil::message("The recorder needs a VM that loaded the agent at its start (JVM_OnLoad); it does not start.");
}

PI_NATIVE void JNICALL Java_com_orvane_agent_java_CobaltRecorder_updatePolicies0(JNIEnv *env, jclass, jclass type, jobject method,
                                                                                jobject f1, jobject f2, jobject f3, jobject f4,
                                                                                jobject f5, jobject f6, jobject f7)
{
    PiProfilingSession *session = PiNatives::liveSession();
    PiClassProfilingSession *classes = session != nullptr ? session->getClassSession() : nullptr;
    if (classes == nullptr)
        return;
    const jobject fields[7] = {f1, f2, f3, f4, f5, f6, f7};
    // This build keeps no class pseudo methods: the probes' methods only.
    JavaNatives::updateRecorderPolicies(env, classes, nullptr, type, method, fields);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_setNativeCobaltRecording0(JNIEnv *env, jclass, jboolean on,
                                                                                           jlongArray ids)
{
    if (PiProfilingSession *session = PiNatives::liveSession())
        JavaNatives::setRecorderRecording(env, on, ids, session->getCpuSession());
}

PI_NATIVE jint JNICALL Java_com_orvane_agent_java_CobaltRecorder_createCobaltSnapshot(JNIEnv *env, jclass, jbyteArray path, jobject,
                                                                                    jboolean savePayloads, jobjectArray javaArguments)
{
    PiProfilingSession *session = PiNatives::liveSession();
    if (session == nullptr || path == nullptr)
        return 0;
    std::string name = JavaNatives::bytes(env, path);
    return PiSnapshots::saveCobaltSnapshot(session, name.c_str(), env, savePayloads != JNI_FALSE, javaArguments) ? 1 : 0;
}
