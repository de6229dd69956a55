// The class-side natives of the agent's Java classes in piagent: component
// types and display names, probe methods, the Java transformer and
// auto-tuning, on the class session of this binding. The VM's allocation
// events record allocations, and there is neither retransformation nor a
// native-method prefix: those natives do nothing.
#include <jni.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "AnnotationInstrumentation.h"
#include "ClassData.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "PiClassProfilingSession.h"
#include "LiveCpuProfilingSession.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "MessageUtil.h"
#include "Recorder.h"
#include "SessionLock.h"
#include "PiNatives.h"

// Classes are rewritten once, as they load.
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_retransform(JNIEnv *, jclass, jclass) {}

// No native method is wrapped here: sleeps reach the agent through the hooks
// of the classes it rewrote.
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_bindNatives0(JNIEnv *, jclass) {}

// Allocations come from the VM's allocation events.
PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCalleeSimple_registerAllocation0(JNIEnv *, jclass, jobject, jclass) {}

PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_registerComponentType(JNIEnv *env, jclass, jstring name, jint type)
{
    PiClassProfilingSession *classes = PiNatives::classSessionIfAny();
    std::string className;
    if (classes != nullptr && JavaNatives::utf(env, name, &className))
        classes->registerComponentType(className.c_str(), type);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_registerDisplayName(JNIEnv *env, jclass, jstring name, jstring display, jint type)
{
    PiClassProfilingSession *classes = PiNatives::classSessionIfAny();
    std::string className, displayName;
    if (classes != nullptr && JavaNatives::utf(env, name, &className) && JavaNatives::utf(env, display, &displayName))
        classes->registerDisplayName(className.c_str(), displayName.c_str(), type);
}

// Java code names probe methods; the classes that load from now on get them.
// The Java side bound to a library without a session belongs to another
// copy of the library, which must serve its hooks: the process ends.
PI_NATIVE void JNICALL Java_com_orvane_agent_Agent_registerAnnotationMethods(JNIEnv *env, jclass, jobjectArray methods, jintArray values,
                                                                           jintArray flags, jint id)
{
    PiProfilingSession *session = PiProfiling::session;
    if (session == nullptr) {
        JavaNatives::reportWrongLibrary();
        PiProfiling::endVm(VmEnd::WRONG_LIBRARY);
    }
    JavaNatives::ProbeMethods list;
    if (!JavaNatives::readProbeMethods(env, methods, values, flags, id, &list))
        return;
    SessionLock lock(session, IM_CLASS);
    AnnotationInstrumentation::registerMethods(list.rows<AnnotationInstrumentation::Row>(), id);
}

PI_NATIVE jbyteArray JNICALL Java_com_orvane_agent_java_Transformer_transform0(JNIEnv *env, jclass, jstring, jobject classBeingRedefined,
                                                                             jbyteArray bytes, jboolean instrument, jintArray out)
{
    PiClassProfilingSession *classes = PiNatives::classSessionIfAny();
    if (classes == nullptr)
        return nullptr;
    bool redefining = classBeingRedefined != nullptr;
    return JavaNatives::transformClass(env, bytes, out,
                                       [&](const unsigned char *elements, int length, unsigned char **result, int *resultLength) {
                                           SessionLock lock(classes->getProfilingSession(), IM_CLASS);
                                           return classes->rewriteForJava(elements, length, result, resultLength, redefining,
                                                                          instrument == JNI_TRUE);
                                       });
}

PI_NATIVE jboolean JNICALL Java_com_orvane_agent_java_Transformer_isAutoTune(JNIEnv *, jclass)
{
    PiClassProfilingSession *classes = PiNatives::classSessionIfAny();
    return classes != nullptr && classes->isAutoTune() ? JNI_TRUE : JNI_FALSE;
}

PI_NATIVE jobjectArray JNICALL Java_com_orvane_agent_java_Transformer_autoTune0(JNIEnv *env, jclass)
{
    PiClassProfilingSession *classes = PiNatives::classSessionIfAny();
    if (classes == nullptr)
        return nullptr;
    std::vector<std::string> names;
    try {
        names = classes->autoTune(PiNatives::cpuSessionIfAny(), Recorder::instance().isRecording());
    } catch (const std::bad_alloc &) {
        MessageUtil::message("ERROR: out of memory while auto-tuning the instrumentation.");
        return nullptr;
    }
    return JavaNatives::stringArray(env, names);
}

// The hook id of the pseudo method that stands for the class (dotted name),
// the class made when it was never met; 0 without a session or a name.
PI_NATIVE jint JNICALL Java_com_orvane_agent_java_Transformer_getMethodId0(JNIEnv *env, jclass, jstring className)
{
    PiClassProfilingSession *classes = PiNatives::classSessionIfAny();
    LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny();
    std::string name;
    if (classes == nullptr || cpu == nullptr || !JavaNatives::utf(env, className, &name) || name.empty())
        return 0;
    ClassData *classData = classes->registerClassName(name.c_str());
    if (classData == nullptr || classData->classMethodDesc == nullptr)
        return 0;
    return cpu->getMethodHandles().getHandle(classData->classMethodDesc);
}

PI_NATIVE jstring JNICALL Java_com_orvane_agent_java_Transformer_getMethodName0(JNIEnv *env, jclass, jint id)
{
    return JavaNatives::methodName(env, PiNatives::cpuSessionIfAny(), id);
}
