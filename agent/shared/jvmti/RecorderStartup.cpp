// Start-up of the recorder, which runs the live session without a JVMTI
// environment (the agent's Java side loaded the library and calls in), and
// the hand-over of its locks when the library is later loaded as a JVMTI
// agent into the same VM.
#include <jni.h>

#include <memory>
#include <mutex>

#include "CpuProfilingSession.h"
#include "InternalMonitor.h"
#include "JavaObjectMonitors.h"
#include "LiveClassProfilingHelper.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "Recorder.h"
#include "RecorderMethodIds.h"

namespace {

// The sampler session's interval while the recorder has no sampler thread.
const int RECORDER_SAMPLING_INTERVAL_MS = 100;

// The recorder's locks; they stay for the whole process, since threads may
// still leave them after the switch to raw monitors.
JavaObjectMonitors *recorderLocks = nullptr;

} // namespace

bool LiveProfilingSession::initRecorder(JNIEnv *env, const char *optionText, jobjectArray monitors)
{
    MessageUtil::message("Initializing Cobalt");
    JavaVM *vm = nullptr;
    if (env->GetJavaVM(&vm) != JNI_OK || vm == nullptr)
        return false;
    std::unique_ptr<JavaObjectMonitors> locks(new JavaObjectMonitors(vm));
    if (!locks->take(env, monitors)) {
        MessageUtil::message("The recorder needs four lock objects (heap, class, thread, dead threads); it does not start.");
        return false;
    }
    recorderLocks = locks.release();
    edge->monitors.setBackend(recorderLocks);
    edge->monitors.setCreated();

    config = new SessionConfig();
    // The options come first so that the stack depths they set reach the
    // CPU session; the recorder's front end is always the Java thread's.
    setOptions(optionText);
    port = 0;
    LiveClassProfilingHelper::init(&classSession);
    LiveCpuProfilingHelper::init(this, stack);
    // Made before the edge knows the VM: without it the heap session asks the
    // VM for no JVMTI environment of its own.
    LiveHeapProfilingHelper::init(this);
    edge->vm = vm;
    // The Java side rewrites classes through the agent: the rewriter names
    // the methods by the CPU session's handles.
    LiveClassProfilingHelper::initInstrumentation(false, false);
    {
        std::lock_guard<std::mutex> guard(communicatorLock);
        openTransport(false);
    }
    LiveCpuProfilingHelper::startSampler(RECORDER_SAMPLING_INTERVAL_MS);
    edge->setJavaCommThreadToEnter(true);
    Recorder::instance().setRecording(true, collectRecorderMethodIds(nullptr, 0), edge->getCpuSession());
    config->applied = true;
    initParameters(env);
    return true;
}

void LiveProfilingSession::handOverRecorderLocks()
{
    if (recorderLocks == nullptr) {
        edge->useRawMonitors();
        return;
    }
    const int enterOrder[] = {IM_DEAD_THREADS, IM_THREAD, IM_CLASS, IM_HEAP};
    for (int bit : enterOrder)
        recorderLocks->enter(bit);
    edge->useRawMonitors();
    for (int i = 3; i >= 0; i--)
        recorderLocks->exit(enterOrder[i]);
}

void LiveProfilingSession::sleepWithoutJvmti(int ms)
{
    JNIEnv *env = edge->getJNIEnv();
    if (env == nullptr)
        return;
    static jclass threadClass = nullptr;
    static jmethodID threadSleep = nullptr;
    if (threadSleep == nullptr) {
        jclass local = env->FindClass("java/lang/Thread");
        jmethodID method = local != nullptr ? env->GetStaticMethodID(local, "sleep", "(J)V") : nullptr;
        if (method == nullptr) {
            env->ExceptionClear();
            return;
        }
        threadClass = static_cast<jclass>(env->NewGlobalRef(local));
        env->DeleteLocalRef(local);
        threadSleep = method;
    }
    if (ms > 0) {
        env->CallStaticVoidMethod(threadClass, threadSleep, static_cast<jlong>(ms));
    } else {
        edge->setWakeupRequested(false);
        while (!edge->isWakeupRequested() && !env->ExceptionCheck())
            env->CallStaticVoidMethod(threadClass, threadSleep, static_cast<jlong>(200));
    }
    if (env->ExceptionCheck())
        env->ExceptionClear();
}

bool LiveProfiling::startRecorder(JNIEnv *env, const char *options, jobjectArray monitors)
{
    if (liveProfilingSession != nullptr) {
        MessageUtil::message("The agent is already running in this VM; the recorder does not start again.");
        return false;
    }
    std::unique_ptr<LiveProfilingSession> session(new LiveProfilingSession(this));
    // Set before start-up: the sessions it makes look the live session up.
    liveProfilingSession = session.get();
    if (!session->initRecorder(env, options, monitors)) {
        liveProfilingSession = nullptr;
        return false;
    }
    session.release();
    return true;
}
