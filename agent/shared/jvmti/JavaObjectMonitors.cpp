#include "JavaObjectMonitors.h"

#include <cstdio>

#include "InternalMonitor.h"

namespace {

const int HEAP_OBJECT = 0;
const int CLASS_OBJECT = 1;
const int THREAD_OBJECT = 2;
const int DEAD_THREADS_OBJECT = 3;

const char *enterErrorOf(int which)
{
    switch (which) {
    case IM_DEAD_THREADS:
        return "_deadThreadsMonitorObject enter error";
    case IM_THREAD:
        return "_threadMonitorObject enter error";
    case IM_CLASS:
        return "_classMonitorObject enter error";
    default:
        return "_heapMonitorObject enter error";
    }
}

} // namespace

bool JavaObjectMonitors::take(JNIEnv *env, jobjectArray monitors)
{
    if (monitors == nullptr || env->GetArrayLength(monitors) != 4)
        return false;
    jobject taken[4] = {};
    for (int i = 0; i < 4; i++) {
        jobject element = env->GetObjectArrayElement(monitors, i);
        if (element != nullptr) {
            taken[i] = env->NewGlobalRef(element);
            env->DeleteLocalRef(element);
        }
        if (taken[i] == nullptr) {
            for (int j = 0; j < i; j++)
                env->DeleteGlobalRef(taken[j]);
            return false;
        }
    }
    for (int i = 0; i < 4; i++)
        objects[i] = taken[i];
    return true;
}

jobject JavaObjectMonitors::objectOf(int which) const
{
    switch (which) {
    case IM_HEAP:
        return objects[HEAP_OBJECT];
    case IM_CLASS:
        return objects[CLASS_OBJECT];
    case IM_THREAD:
        return objects[THREAD_OBJECT];
    case IM_DEAD_THREADS:
        return objects[DEAD_THREADS_OBJECT];
    default:
        return nullptr;
    }
}

JNIEnv *JavaObjectMonitors::currentEnv() const
{
    void *env = nullptr;
    if (vm == nullptr || vm->GetEnv(&env, JNI_VERSION_1_4) != JNI_OK)
        return nullptr;
    return static_cast<JNIEnv *>(env);
}

void JavaObjectMonitors::enter(int which)
{
    jobject object = objectOf(which);
    JNIEnv *env = currentEnv();
    if (object == nullptr || env == nullptr)
        return;
    if (env->MonitorEnter(object) != JNI_OK) {
        fprintf(stdout, "%s\n", enterErrorOf(which));
        fflush(stdout);
    }
}

void JavaObjectMonitors::exit(int which)
{
    jobject object = objectOf(which);
    JNIEnv *env = currentEnv();
    if (object == nullptr || env == nullptr)
        return;
    if (env->MonitorExit(object) != JNI_OK && env->ExceptionCheck())
        env->ExceptionClear();
}
