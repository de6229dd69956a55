// Natives of com.orvane.agent.probe.AnnotationHandler that probes call on
// the application's threads: a probe call begins and ends. The probe's
// pseudo method is entered on the calling thread's current node, so the
// probe shows under the method that called it. The Java side gets the
// probe's method handle, never an address; a handle that comes back is
// looked up among the live ones.
#include <string>

#include <jni.h>

#include "CpuProfilingSession.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"

namespace {

// Probe calls are recorded with dynamic instrumentation only.
const int COLLECTION_INSTRUMENTED = 1;

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
