// The probe natives of com.orvane.agent.probe.AnnotationHandler and the Java
// thread managers' registration in piagent: the same work as in tiagent
// (JavaNatives), on the sessions of this binding; a thread is its JNIEnv*.
#include <jni.h>

#include "JavaNatives.h"
#include "PiClassProfilingSession.h"
#include "LiveCpuProfilingSession.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "PiNatives.h"

namespace {

// The manager the method hooks of the same thread use: the VM announced
// every thread but the one it started in, which is the main thread's. No
// manager is made here, so `make` changes nothing.
LiveThreadManager *callingThread(JNIEnv *env, bool)
{
    LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny();
    return cpu != nullptr ? cpu->getCurrentThreadManager(env, true) : nullptr;
}

} // namespace

PI_NATIVE jlong JNICALL Java_com_orvane_agent_probe_AnnotationHandler_enterAnnotationMethod(JNIEnv *env, jclass, jstring name, jlong,
                                                                                          jboolean nested)
{
    return JavaNatives::enterProbe(env, PiNatives::cpuSessionIfAny(), PiNatives::classSessionIfAny(), callingThread, name, nested);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_probe_AnnotationHandler_exitAnnotationMethod(JNIEnv *env, jclass, jlong method, jlong)
{
    JavaNatives::exitProbe(env, PiNatives::cpuSessionIfAny(), callingThread, method);
}

PI_NATIVE jboolean JNICALL Java_com_orvane_agent_probe_AnnotationHandler_isProbeEnabled0(JNIEnv *, jclass, jint type)
{
    PiProfilingSession *session = PiProfiling::session;
    return JavaNatives::isProbeEnabled(session != nullptr ? session->getConfig() : nullptr, type);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_probe_AnnotationHandler_fillAnnotationInfo(JNIEnv *env, jclass, jlongArray info,
                                                                                      jboolean callSite, jlong, jint, jobjectArray)
{
    JavaNatives::fillAnnotationInfo(env, PiNatives::cpuSessionIfAny(), callingThread, info, callSite);
}

PI_NATIVE jlong JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getProbeRequest0(JNIEnv *env, jclass, jstring name)
{
    return JavaNatives::probeRequest(env, PiNatives::cpuSessionIfAny(), PiNatives::classSessionIfAny(), name);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ThreadManager_register0(JNIEnv *env, jobject self)
{
    JavaNatives::registerThreadManager(env, PiNatives::cpuSessionIfAny(), callingThread, self);
}

// The calling thread's call site.
PI_NATIVE jobject JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getCallSite(JNIEnv *env, jclass, jlong)
{
    return JavaNatives::callSite(env, PiNatives::cpuSessionIfAny(), callingThread);
}

// The calling thread's next method entry starts an exceptional run (only
// the hooks of rewritten code, collection method 1, record such runs).
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_enterExceptionalMethod(JNIEnv *env, jclass)
{
    JavaNatives::enterExceptionalMethod(env, PiNatives::cpuSessionIfAny(), callingThread);
}

// The calling thread's status override.
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_setOverrideThreadStatus(JNIEnv *env, jclass, jint status)
{
    JavaNatives::setOverrideThreadStatus(env, PiNatives::cpuSessionIfAny(), callingThread, status);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_resetOverrideThreadStatus(JNIEnv *env, jclass)
{
    JavaNatives::resetOverrideThreadStatus(env, PiNatives::cpuSessionIfAny(), callingThread);
}
