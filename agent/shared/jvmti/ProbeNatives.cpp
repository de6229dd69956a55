// Natives of com.orvane.agent.probe.AnnotationHandler that probes call on
// the application's threads: a probe call begins and ends. The probe's
// pseudo method is entered on the calling thread's current node, so the
// probe shows under the method that called it. The Java side gets the
// probe's method handle, never an address; a handle that comes back is
// looked up among the live ones.
#include <string>

#include <jni.h>

#include "ClassDecisions.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveThreadManager.h"
#include "InternalMonitor.h"
#include "MethodDesc.h"
#include "SessionConfig.h"
#include "SessionLock.h"

namespace {

// Probe calls are recorded with dynamic instrumentation only; with
// sampling they are requests that the sampler puts above the stack.
const int COLLECTION_INSTRUMENTED = 1;
const int COLLECTION_SAMPLING = 3;

} // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_orvane_agent_probe_AnnotationHandler_enterAnnotationMethod(JNIEnv *env, jclass,
                                                                                                     jstring name, jlong,
                                                                                                     jboolean nested)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    if (cpu == nullptr || classes == nullptr || name == nullptr || nested == JNI_TRUE ||
        cpu->getSettings().collectionMethod != COLLECTION_INSTRUMENTED)
        return 0;
    LiveThreadManager *thread = LiveCpuProfilingHelper::getCurrentThreadManager(env, true);
    if (thread == nullptr || thread->getIgnored())
        return 0;
    const char *chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr) {
        env->ExceptionClear();
        return 0;
    }
    std::string probe = chars;
    env->ReleaseStringUTFChars(name, chars);
    MethodDesc *method = classes->getAnnotationMethodDesc(probe.c_str());
    thread->enterProbe(method);
    return cpu->getMethodHandles().getHandle(method);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_probe_AnnotationHandler_exitAnnotationMethod(JNIEnv *env, jclass, jlong method,
                                                                                                   jlong)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (cpu == nullptr || method <= 0 || method > INT32_MAX)
        return;
    MethodDesc *probe = cpu->getMethodHandles().lookup(static_cast<int32_t>(method));
    LiveThreadManager *thread = LiveCpuProfilingHelper::getCurrentThreadManager(env, false);
    if (probe != nullptr && thread != nullptr)
        thread->exitProbe(probe);
}

// The probe switch of `type` in the session configuration (false before one arrived).
extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_probe_AnnotationHandler_isProbeEnabled0(JNIEnv *, jclass, jint type)
{
    LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    const SessionConfig *config = classes != nullptr ? classes->getDecisions().getConfig() : nullptr;
    return config != nullptr && config->isProbeEnabled(type) ? JNI_TRUE : JNI_FALSE;
}

// Where a probe payload belongs, into seven longs of `info`: the annotation
// id of the calling node (0: not recorded), the thread's handle (its
// manager as the front end names threads; only compared, never followed),
// the thread's runnable, blocked, waiting and net I/O time so far and the
// current time, in microseconds. Threads without a manager and ignored
// threads get the time only.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_probe_AnnotationHandler_fillAnnotationInfo(JNIEnv *env, jclass, jlongArray info,
                                                                                                 jboolean callSite, jlong, jint,
                                                                                                 jobjectArray)
{
    const jsize LONGS = 7;
    if (info == nullptr || env->GetArrayLength(info) < LONGS)
        return;
    jlong values[LONGS] = {0, 0, 0, 0, 0, 0, Counter::getUsec()};
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    LiveThreadManager *thread = cpu != nullptr ? LiveCpuProfilingHelper::getCurrentThreadManager(env, false) : nullptr;
    if (thread != nullptr && !thread->getIgnored()) {
        values[1] = static_cast<jlong>(reinterpret_cast<intptr_t>(thread));
        long long totals[4];
        thread->fillAnnotationTotals(values[6], totals);
        for (int i = 0; i < 4; i++)
            values[2 + i] = totals[i];
        // Sampled trees belong to the sampler thread: their calls have no call site here.
        if (callSite == JNI_TRUE && cpu->isRecording() && cpu->getSettings().collectionMethod == COLLECTION_INSTRUMENTED)
            values[0] = thread->probeCallSiteId();
    }
    env->SetLongArrayRegion(info, 0, LONGS, values);
}

// With sampling: the handle of probe `name`'s pseudo method, which the Java
// side keeps as a request in progress while the probe call runs; 0 with
// any other collection method.
extern "C" JNIEXPORT jlong JNICALL Java_com_orvane_agent_probe_AnnotationHandler_getProbeRequest0(JNIEnv *env, jclass, jstring name)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    if (cpu == nullptr || classes == nullptr || name == nullptr || cpu->getSettings().collectionMethod != COLLECTION_SAMPLING)
        return 0;
    const char *chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr) {
        env->ExceptionClear();
        return 0;
    }
    std::string probe = chars;
    env->ReleaseStringUTFChars(name, chars);
    return cpu->getMethodHandles().getHandle(classes->getAnnotationMethodDesc(probe.c_str()));
}

// The calling thread's Java-side thread manager: the sampler asks it for the
// requests in progress. The first registration of a thread counts.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ThreadManager_register0(JNIEnv *env, jobject self)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    LiveThreadManager *thread = cpu != nullptr ? LiveCpuProfilingHelper::getCurrentThreadManager(env, false) : nullptr;
    if (thread == nullptr || self == nullptr)
        return;
    SessionLock lock(cpu->getProfilingSession(), IM_THREAD);
    if (thread->javaThreadManager == nullptr && thread->threadHandle != nullptr)
        thread->javaThreadManager = env->NewGlobalRef(self);
}
