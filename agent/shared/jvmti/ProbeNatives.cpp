// Natives of com.orvane.agent.probe.AnnotationHandler that probes call on
// the application's threads: a probe call begins and ends. The probe's
// pseudo method is entered on the calling thread's current node, so the
// probe shows under the method that called it. The Java side gets the
// probe's method handle, never an address; a handle that comes back is
// looked up among the live ones.
// The bodies are shared with piagent (JavaNatives).
#include <jni.h>

#include "ClassDecisions.h"
#include "JavaNatives.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveCpuProfilingHelper.h"

namespace {

LiveThreadManager *callingThread(JNIEnv *env, bool make)
{
    return LiveCpuProfilingHelper::getCurrentThreadManager(env, make);
}

} // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_orvane_agent_probe_AnnotationHandler_enterAnnotationMethod(JNIEnv *env, jclass,
                                                                                                     jstring name, jlong,
                                                                                                     jboolean nested)
{
    return JavaNatives::enterProbe(env, LiveCpuProfilingHelper::getSession(), LiveClassProfilingHelper::getSession(), callingThread, name,
                                   nested);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_probe_AnnotationHandler_exitAnnotationMethod(JNIEnv *env, jclass, jlong method,
                                                                                                   jlong)
{
    JavaNatives::exitProbe(env, LiveCpuProfilingHelper::getSession(), callingThread, method);
}

// The probe switch of `type` in the session configuration (false before one arrived).
extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_probe_AnnotationHandler_isProbeEnabled0(JNIEnv *, jclass, jint type)
{
    LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    return JavaNatives::isProbeEnabled(classes != nullptr ? classes->getDecisions().getConfig() : nullptr, type);
}

// Where a probe payload belongs. Threads without a manager and ignored
// threads get the time only.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_probe_AnnotationHandler_fillAnnotationInfo(JNIEnv *env, jclass, jlongArray info,
                                                                                                 jboolean callSite, jlong, jint,
                                                                                                 jobjectArray)
{
    JavaNatives::fillAnnotationInfo(env, LiveCpuProfilingHelper::getSession(), callingThread, info, callSite);
}

// With sampling: the handle of probe `name`'s pseudo method, which the Java
// side keeps as a request in progress while the probe call runs.
extern "C" JNIEXPORT jlong JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getProbeRequest0(JNIEnv *env, jclass, jstring name)
{
    return JavaNatives::probeRequest(env, LiveCpuProfilingHelper::getSession(), LiveClassProfilingHelper::getSession(), name);
}

// The calling thread's Java-side thread manager: the sampler asks it for the
// requests in progress. The first registration of a thread counts.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ThreadManager_register0(JNIEnv *env, jobject self)
{
    JavaNatives::registerThreadManager(env, LiveCpuProfilingHelper::getSession(), callingThread, self);
}

// The calling thread's call site.
extern "C" JNIEXPORT jobject JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getCallSite(JNIEnv *env, jclass, jlong)
{
    return JavaNatives::callSite(env, LiveCpuProfilingHelper::getSession(), callingThread);
}
