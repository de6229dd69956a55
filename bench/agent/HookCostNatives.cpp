// Natives of the in-JVM hook benchmark (bench/agent/java/HookCost.java): the
// single steps of a recorded call and of a recorded allocation, each on its
// own, so that the program's clock can time them inside a real JVM.
#include <jni.h>
#include <jvmti.h>

#include "Counter.h"

namespace {

jvmtiEnv *jvmti = nullptr;
jrawMonitorID first = nullptr;
jrawMonitorID second = nullptr;

// The free events of the tagged objects are posted (by the VM's service
// thread) to a callback that does nothing.
void JNICALL objectFree(jvmtiEnv *, jlong) {}

} // namespace

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM *vm, void *)
{
    if (vm->GetEnv(reinterpret_cast<void **>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK)
        return JNI_ERR;
    jvmtiCapabilities wanted{};
    wanted.can_tag_objects = 1;
    wanted.can_generate_object_free_events = 1;
    jvmtiEventCallbacks callbacks{};
    callbacks.ObjectFree = objectFree;
    if (jvmti->AddCapabilities(&wanted) != JVMTI_ERROR_NONE || jvmti->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE || jvmti->CreateRawMonitor("bench first", &first) != JVMTI_ERROR_NONE ||
        jvmti->CreateRawMonitor("bench second", &second) != JVMTI_ERROR_NONE)
        return JNI_ERR;
    Counter::getUsec(); // calibrated before the first timed phase
    return JNI_VERSION_1_8;
}

extern "C" JNIEXPORT void JNICALL Java_benchhook_HookCost_nop(JNIEnv *, jclass, jint) {}

extern "C" JNIEXPORT jlong JNICALL Java_benchhook_HookCost_clock(JNIEnv *, jclass, jint)
{
    return Counter::getUsec();
}

extern "C" JNIEXPORT void JNICALL Java_benchhook_HookCost_nopObject(JNIEnv *, jclass, jobject, jclass) {}

extern "C" JNIEXPORT jlong JNICALL Java_benchhook_HookCost_size(JNIEnv *, jclass, jobject object)
{
    jlong size = 0;
    jvmti->GetObjectSize(object, &size);
    return size;
}

extern "C" JNIEXPORT void JNICALL Java_benchhook_HookCost_tag(JNIEnv *, jclass, jobject object, jlong tag)
{
    jvmti->SetTag(object, tag);
}

extern "C" JNIEXPORT void JNICALL Java_benchhook_HookCost_locks(JNIEnv *, jclass)
{
    jvmti->RawMonitorEnter(first);
    jvmti->RawMonitorEnter(second);
    jvmti->RawMonitorExit(second);
    jvmti->RawMonitorExit(first);
}

extern "C" JNIEXPORT void JNICALL Java_benchhook_HookCost_freeEvents(JNIEnv *, jclass, jboolean on)
{
    jvmti->SetEventNotificationMode(on ? JVMTI_ENABLE : JVMTI_DISABLE, JVMTI_EVENT_OBJECT_FREE, nullptr);
}

extern "C" JNIEXPORT jlong JNICALL Java_benchhook_HookCost_classTag(JNIEnv *, jclass, jclass type)
{
    jlong tag = 0;
    jvmti->GetTag(type, &tag);
    return tag;
}
