// Natives that the hooks of instrumented code reach beyond method entry and
// exit (those are in LiveCpuProfilingHelper.cpp): sleeping and parking, net
// I/O, component classes, the default serialVersionUID's question about
// static initialisers, and retransformation of a single class.
//
// Sleep, park and net I/O hooks run inside JDK code (LockSupport, NIO), often
// while the VM is loading classes: they use only the calling thread's manager
// (never made here, because making one runs Java code), take no lock and
// call no Java method.
#include <cstring>

#include <jni.h>
#include <jvmti.h>

#include "Counter.h"
#include "CpuProfilingSession.h"
#include "JvmtiBuffer.h"
#include "LiveClassProfilingHelper.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"

namespace {

// The calling thread's manager when it records, else null.
LiveThreadManager *recordingThread(JNIEnv *env)
{
    if (LiveCpuProfilingHelper::getSession() == nullptr || LiveProfiling::instance().jvmti == nullptr)
        return nullptr;
    LiveThreadManager *thread = LiveCpuProfilingHelper::getCurrentThreadManager(env, false);
    if (thread == nullptr || thread->getIgnored())
        return nullptr;
    return thread;
}

} // namespace

// InstrumentationCallee.sleep0(boolean): a sleep or park without a monitor
// begins or ends; counted as waiting time like Thread.sleep.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_sleep0(JNIEnv *env, jclass, jboolean enter)
{
    if (recordingThread(env) == nullptr)
        return;
    if (enter != JNI_FALSE)
        LiveCpuProfilingHelper::sleepEnter(env);
    else
        LiveCpuProfilingHelper::sleepExit(env);
}

// InstrumentationCallee.netIO0(boolean): a network I/O method begins or ends;
// nested I/O methods count once.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_netIO0(JNIEnv *env, jclass, jboolean enter)
{
    LiveThreadManager *thread = recordingThread(env);
    if (thread != nullptr)
        thread->setNetIO(enter != JNI_FALSE, Counter::getUsec());
}

// InstrumentationCallee.registerClass0(Class): a component class made an
// instance. The class registry learns the class (it may never have been
// prepared while the agent watched, for instance after an attach).
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_registerClass0(JNIEnv *env, jclass, jclass type)
{
    if (type == nullptr || LiveClassProfilingHelper::getSession() == nullptr || LiveProfiling::instance().jvmti == nullptr)
        return;
    LiveClassProfilingHelper::getJvmtiClassData(type, env, false, true);
}

// InstrumentationCallee.hasStaticInitializer0(Class): whether the class
// declares <clinit>. False when the VM cannot list the class's methods.
extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_InstrumentationCallee_hasStaticInitializer0(JNIEnv *, jclass, jclass type)
{
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    if (type == nullptr || jvmti == nullptr)
        return JNI_FALSE;
    jint count = 0;
    JvmtiBuffer<jmethodID> methods;
    if (jvmti->GetClassMethods(type, &count, methods.out()) != JVMTI_ERROR_NONE)
        return JNI_FALSE;
    for (jint i = 0; i < count; i++) {
        JvmtiBuffer<char> name;
        JvmtiBuffer<char> signature;
        if (jvmti->GetMethodName(methods.get()[i], name.out(), signature.out(), nullptr) != JVMTI_ERROR_NONE)
            continue;
        if (strcmp(name.get(), "<clinit>") == 0 && strcmp(signature.get(), "()V") == 0)
            return JNI_TRUE;
    }
    return JNI_FALSE;
}

// Agent.retransform(Class): the class passes the class-file hook again.
// Only with JVMTI 1.1; a refusal of the VM is printed with the class's
// signature and the VM's error code.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_retransform(JNIEnv *, jclass, jclass type)
{
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    if (type == nullptr || jvmti == nullptr || !LiveProfiling::instance().isJvmti11())
        return;
    jvmtiError error = jvmti->RetransformClasses(1, &type);
    if (error == JVMTI_ERROR_NONE)
        return;
    JvmtiBuffer<char> signature;
    const char *name = "?";
    if (jvmti->GetClassSignature(type, signature.out(), nullptr) == JVMTI_ERROR_NONE && signature.get() != nullptr)
        name = signature.get();
    MessageUtil::message("ERROR: could not retransform class %s (%d).", name, static_cast<int>(error));
}
