// The scripted threads of jvmpihost: each is a thread attached to the real
// JVM, made on first use, that runs the jobs the script gives it (the
// events of that thread) one at a time while the script waits.
#include "JvmpiHost.h"

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

// A scripted thread attached to the real JVM: it runs the jobs the script
// gives it, one at a time, while the script waits.
struct AttachedThread {
    std::mutex lock;
    std::condition_variable changed;
    JNIEnv *env = nullptr;
    std::function<void()> job;
};
// Scripted thread n once attached; guarded by `lock`.
struct AttachedThreads {
    std::mutex lock;
    AttachedThread *threads[MAX_THREADS] = {};
};
AttachedThreads attachedThreads;

void attachedLoop(int n, AttachedThread *thread)
{
    std::string name = "scripted-" + std::to_string(n);
    JavaVMAttachArgs args{JNI_VERSION_1_8, &name[0], nullptr};
    JNIEnv *env = nullptr;
    if (realJvm.vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env), &args) != JNI_OK || env == nullptr) {
        fprintf(stderr, "jvmpihost: thread %d cannot attach to the JVM\n", n);
        fflush(stderr);
        _exit(2);
    }
    logCall("thread %d attached as Java thread %s", n, javaThreadName(env).c_str());
    std::unique_lock<std::mutex> held(thread->lock);
    thread->env = env;
    thread->changed.notify_all();
    for (;;) {
        thread->changed.wait(held, [thread] { return static_cast<bool>(thread->job); });
        thread->job();
        thread->job = nullptr;
        thread->changed.notify_all();
    }
}

// Scripted thread n, attached on first use.
AttachedThread *attachedThread(int n)
{
    std::lock_guard<std::mutex> guard(attachedThreads.lock);
    if (attachedThreads.threads[n] == nullptr) {
        AttachedThread *thread = new AttachedThread();
        std::thread(attachedLoop, n, thread).detach();
        std::unique_lock<std::mutex> held(thread->lock);
        thread->changed.wait(held, [thread] { return thread->env != nullptr; });
        attachedThreads.threads[n] = thread;
    }
    return attachedThreads.threads[n];
}

} // namespace

// The name of the calling thread as its JVM knows it; "?" when it cannot tell.
std::string javaThreadName(JNIEnv *env)
{
    std::string name = "?";
    jclass threadClass = env->FindClass("java/lang/Thread");
    jmethodID current = threadClass != nullptr ? env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jmethodID getName = threadClass != nullptr ? env->GetMethodID(threadClass, "getName", "()Ljava/lang/String;") : nullptr;
    jobject thread = current != nullptr ? env->CallStaticObjectMethod(threadClass, current) : nullptr;
    jstring text = thread != nullptr && getName != nullptr ? static_cast<jstring>(env->CallObjectMethod(thread, getName)) : nullptr;
    if (text != nullptr) {
        const char *chars = env->GetStringUTFChars(text, nullptr);
        if (chars != nullptr) {
            name = chars;
            env->ReleaseStringUTFChars(text, chars);
        }
    }
    if (env->ExceptionCheck())
        env->ExceptionClear();
    return name;
}

// Runs `job` on scripted thread n and waits for it.
void runOn(int n, const std::function<void()> &job)
{
    AttachedThread *thread = attachedThread(n);
    std::unique_lock<std::mutex> held(thread->lock);
    thread->job = job;
    thread->changed.notify_all();
    thread->changed.wait(held, [thread] { return !thread->job; });
}

JNIEnv *threadEnv(int n)
{
    return attachedThread(n)->env;
}

// The scripted thread number of an env, -1 for the host's main thread and others.
int threadNumber(JNIEnv *env)
{
    std::lock_guard<std::mutex> guard(attachedThreads.lock);
    for (int n = 1; n < MAX_THREADS; n++)
        if (attachedThreads.threads[n] != nullptr && attachedThreads.threads[n]->env == env)
            return n;
    return -1;
}
