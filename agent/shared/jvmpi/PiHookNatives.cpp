// The natives of the method hooks in classes piagent rewrote
// (com.orvane.agent.InstrumentationCallee): entries and exits reach the
// CPU session's call trees on the calling thread's manager, the thread
// being its JNIEnv* as in the VM's own events; so do sleeps, parks and net
// I/O, which make no manager and call no Java method (they run inside JDK
// code). The component-class and static-initialiser natives ask the VM
// through JNI.
#include <string>

#include "Counter.h"
#include "PiClassProfilingSession.h"
#include "LiveCpuProfilingSession.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "LiveThreadManager.h"
#include "PiNatives.h"

PI_NATIVE jlong JNICALL Java_com_orvane_agent_InstrumentationCallee_enterMethod(JNIEnv *env, jclass, jint id, jshort line, jboolean keep, jlong,
                                                                                jboolean timed)
{
    LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny();
    if (cpu == nullptr)
        return 0;
    return cpu->agentMethodEntry(cpu->getCurrentThreadManager(env, true), id, static_cast<uint16_t>(line), false, keep != JNI_FALSE,
                                 timed != JNI_FALSE);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_enterFilteredMethod(JNIEnv *env, jclass, jint id, jshort line, jlong)
{
    LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny();
    if (cpu != nullptr)
        cpu->agentMethodEntry(cpu->getCurrentThreadManager(env, true), id, static_cast<uint16_t>(line), true, false, true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_exitMethod(JNIEnv *env, jclass, jint id, jlong)
{
    if (LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny())
        cpu->agentMethodExit(cpu->getCurrentThreadManager(env, true), id, false);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_exitFilteredMethod(JNIEnv *env, jclass, jint id, jlong)
{
    if (LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny())
        cpu->agentMethodExit(cpu->getCurrentThreadManager(env, true), id, true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_exceptionHandlerMethod(JNIEnv *env, jclass, jint id, jlong)
{
    if (LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny())
        cpu->agentMethodExceptionHandler(cpu->getCurrentThreadManager(env, true), id);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_lineNumberHint(JNIEnv *env, jclass, jshort line, jlong)
{
    if (LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny())
        cpu->agentLineNumberHint(cpu->getCurrentThreadManager(env, true), static_cast<uint16_t>(line));
}

// Nothing sets the hooks' Java switch in this build: they always reach the
// natives, and the CPU session decides whether it records.
PI_NATIVE jboolean JNICALL Java_com_orvane_agent_InstrumentationCallee_isRecording0(JNIEnv *, jclass)
{
    return JNI_TRUE;
}

// A sleep or park without a monitor begins or ends: waiting time.
PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_sleep0(JNIEnv *env, jclass, jboolean enter)
{
    if (LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny())
        cpu->agentSleep(env, enter != JNI_FALSE);
}

// A network I/O method begins or ends; nested ones count once.
PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_netIO0(JNIEnv *env, jclass, jboolean enter)
{
    LiveCpuProfilingSession *cpu = PiNatives::cpuSessionIfAny();
    LiveThreadManager *thread = cpu != nullptr ? cpu->getCurrentThreadManager(env, true) : nullptr;
    if (thread != nullptr && !thread->getIgnored())
        thread->setNetIO(enter != JNI_FALSE, Counter::getUsec());
}

// A component class made an instance: the class registry learns it by name
// (its class load normally told it already).
PI_NATIVE void JNICALL Java_com_orvane_agent_InstrumentationCallee_registerClass0(JNIEnv *env, jclass, jclass type)
{
    PiProfilingSession *session = PiProfiling::session;
    PiClassProfilingSession *classes = session != nullptr ? session->getClassSession() : nullptr;
    if (classes == nullptr || type == nullptr)
        return;
    jclass classClass = env->GetObjectClass(type);
    jmethodID getName = classClass != nullptr ? env->GetMethodID(classClass, "getName", "()Ljava/lang/String;") : nullptr;
    jstring name = getName != nullptr ? static_cast<jstring>(env->CallObjectMethod(type, getName)) : nullptr;
    const char *chars = name != nullptr && !env->ExceptionCheck() ? env->GetStringUTFChars(name, nullptr) : nullptr;
    if (chars == nullptr) {
        env->ExceptionClear();
        return;
    }
    std::string dotted = chars;
    env->ReleaseStringUTFChars(name, chars);
    env->DeleteLocalRef(name);
    env->DeleteLocalRef(classClass);
    classes->registerClassName(dotted.c_str());
}

// Whether the class declares its own <clinit>. The VM may answer with an
// inherited one: the super class's answer tells them apart. False when the
// VM finds none. Asking initialises the class (serialization is about to
// use it anyway).
PI_NATIVE jboolean JNICALL Java_com_orvane_agent_InstrumentationCallee_hasStaticInitializer0(JNIEnv *env, jclass, jclass type)
{
    if (type == nullptr)
        return JNI_FALSE;
    jmethodID own = env->GetStaticMethodID(type, "<clinit>", "()V");
    if (own == nullptr) {
        env->ExceptionClear();
        return JNI_FALSE;
    }
    jclass super = env->GetSuperclass(type);
    if (super == nullptr)
        return JNI_TRUE;
    jmethodID inherited = env->GetStaticMethodID(super, "<clinit>", "()V");
    if (inherited == nullptr)
        env->ExceptionClear();
    env->DeleteLocalRef(super);
    return own != inherited ? JNI_TRUE : JNI_FALSE;
}
