#include "LiveCpuProfilingHelper.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "CallTreeHelper.h"
#include "ClassData.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "Instrumenter.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveMonitorManager.h"
#include "LiveProbeCommands.h"
#include "LiveSamplerSession.h"
#include "LiveThreadEvents.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "SessionLock.h"
#include "ThreadHelper.h"
#include "VmInterface.h"

namespace {

bool contendedMonitors(const std::vector<void *> &threads, std::vector<VmInterface::ContendedMonitor> *out);

const jint MAX_FRAMES = 20000;
const jint MAX_DUMP_FRAMES = 200;

// The engine's view of the VM through JVMTI.
class JvmtiVm : public VmInterface {
public:
    JvmtiVm() { agentCounter = true; }
    long long getUsec() override { return Counter::getUsec(); }
    [[noreturn]] void endVm(VmEnd reason) override { LiveProfiling::instance().endVm(reason); }

    long long getCurrentThreadCpuUsec() override
    {
        jlong nanos = 0;
        if (LiveProfiling::instance().jvmti == nullptr)
            return -1;
        if (LiveProfiling::instance().jvmti->GetCurrentThreadCpuTime(&nanos) != JVMTI_ERROR_NONE)
            return -1;
        return nanos / 1000;
    }

    // Every frame the VM describes, outermost first, each with the line it
    // is running; the session maps them to the hooks' records.
    bool getStackTrace(std::vector<StackFrame> *out) override
    {
        out->clear();
        JNIEnv *env = LiveProfiling::instance().getJNIEnv();
        CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
        // The recorder without JVMTI reads no stacks: its hooks alone build the trees.
        if (env == nullptr || cpu == nullptr || LiveProfiling::instance().jvmti == nullptr)
            return false;
        std::vector<jvmtiFrameInfo> frames(static_cast<size_t>(MAX_FRAMES));
        jint count = 0;
        if (LiveProfiling::instance().jvmti->GetStackTrace(nullptr, 0, MAX_FRAMES, frames.data(), &count) != JVMTI_ERROR_NONE) {
            MessageUtil::message("error getting stack trace");
            return false;
        }
        ProfilingSession *session = cpu->getProfilingSession();
        for (jint i = count - 1; i >= 0; i--) {
            session->enterMonitor(IM_CLASS);
            MethodDesc *method = LiveClassProfilingHelper::getMethodDesc(frames[static_cast<size_t>(i)].method, env, false);
            session->exitMonitor(IM_CLASS, false);
            if (method == nullptr)
                continue;
            out->push_back(StackFrame{method, lineOf(frames[static_cast<size_t>(i)])});
        }
        return true;
    }

    bool getThreadStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks) override
    {
        stacks->clear();
        JNIEnv *env = LiveProfiling::instance().getJNIEnv();
        CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
        if (env == nullptr || cpu == nullptr || threads.empty() || LiveProfiling::instance().jvmti == nullptr)
            return false;
        std::vector<jthread> list;
        for (void *t : threads)
            list.push_back(static_cast<jthread>(t));
        jvmtiStackInfo *infos = nullptr;
        if (LiveProfiling::instance().jvmti->GetThreadListStackTraces(static_cast<jint>(list.size()), list.data(), MAX_DUMP_FRAMES, &infos) !=
            JVMTI_ERROR_NONE)
            return false;
        ProfilingSession *session = cpu->getProfilingSession();
        std::lock_guard<std::mutex> guard(lastStacksLock);
        std::unordered_map<void *, std::vector<ResolvedFrame>> next;
        for (size_t i = 0; i < list.size(); i++) {
            stacks->emplace_back();
            const jvmtiStackInfo &info = infos[i];
            if ((info.state & JVMTI_THREAD_STATE_TERMINATED) != 0)
                continue;
            auto last = lastStacks.find(threads[i]);
            const std::vector<ResolvedFrame> *previous = last != lastStacks.end() ? &last->second : nullptr;
            std::vector<ResolvedFrame> &resolved = next[threads[i]];
            for (jint f = info.frame_count - 1; f >= 0; f--) {
                const jvmtiFrameInfo &frame = info.frame_buffer[f];
                size_t depth = static_cast<size_t>(info.frame_count - 1 - f);
                ResolvedFrame r{frame.method, frame.location, nullptr, 0};
                if (previous != nullptr && depth < previous->size() && (*previous)[depth].id == frame.method &&
                    (*previous)[depth].location == frame.location && (*previous)[depth].method != nullptr) {
                    r = (*previous)[depth];
                } else {
                    session->enterMonitor(IM_CLASS);
                    r.method = LiveClassProfilingHelper::getMethodDesc(frame.method, env, false);
                    session->exitMonitor(IM_CLASS, false);
                    if (r.method != nullptr)
                        r.line = lineOf(frame);
                }
                resolved.push_back(r);
                if (r.method != nullptr)
                    stacks->back().push_back(StackFrame{r.method, r.line});
            }
        }
        lastStacks.swap(next);
        LiveProfiling::instance().jvmti->Deallocate(reinterpret_cast<unsigned char *>(infos));
        return true;
    }

    bool getThreadStates(const std::vector<void *> &threads, std::vector<int> *states) override
    {
        states->clear();
        for (void *t : threads) {
            jint state = 0;
            if (LiveProfiling::instance().jvmti == nullptr ||
                LiveProfiling::instance().jvmti->GetThreadState(static_cast<jthread>(t), &state) != JVMTI_ERROR_NONE)
                state = 0;
            states->push_back(static_cast<int>(state));
        }
        return true;
    }

    bool getContendedMonitors(const std::vector<void *> &threads, std::vector<ContendedMonitor> *out) override
    {
        return contendedMonitors(threads, out);
    }

    // Per Java-side thread manager: initRequestState() fixes the state this
    // pass reads, then getRequestCount() and, when positive, getRequests().
    bool getThreadRequests(const std::vector<void *> &managers, std::vector<std::vector<long long>> *requests) override
    {
        requests->assign(managers.size(), std::vector<long long>());
        JNIEnv *env = LiveProfiling::instance().getJNIEnv();
        if (env == nullptr || env->PushLocalFrame(16) != 0)
            return false;
        static jmethodID init = nullptr, count = nullptr, get = nullptr;
        if (init == nullptr || count == nullptr || get == nullptr) {
            jclass type = env->FindClass("com/orvane/agent/ThreadManager");
            init = type != nullptr ? env->GetMethodID(type, "initRequestState", "()V") : nullptr;
            count = type != nullptr ? env->GetMethodID(type, "getRequestCount", "()I") : nullptr;
            get = type != nullptr ? env->GetMethodID(type, "getRequests", "()[J") : nullptr;
            if (init == nullptr || count == nullptr || get == nullptr) {
                env->ExceptionClear();
                env->PopLocalFrame(nullptr);
                MessageUtil::message("com/orvane/agent/ThreadManager lacks initRequestState, getRequestCount or getRequests");
                return false;
            }
        }
        for (size_t i = 0; i < managers.size(); i++) {
            jobject manager = static_cast<jobject>(managers[i]);
            if (manager == nullptr)
                continue;
            env->CallVoidMethod(manager, init);
            jint n = env->ExceptionCheck() ? 0 : env->CallIntMethod(manager, count);
            jlongArray ids = n >= 1 && !env->ExceptionCheck() ? static_cast<jlongArray>(env->CallObjectMethod(manager, get)) : nullptr;
            if (ids != nullptr && !env->ExceptionCheck()) {
                std::vector<jlong> values(static_cast<size_t>(env->GetArrayLength(ids)));
                env->GetLongArrayRegion(ids, 0, static_cast<jsize>(values.size()), values.data());
                (*requests)[i].assign(values.begin(), values.end());
                env->DeleteLocalRef(ids);
            }
            env->ExceptionClear();
        }
        env->PopLocalFrame(nullptr);
        return true;
    }

    // InstrumentationCallee.recording; its static initialiser asks the
    // session when the class is not ready yet. Looking the field up
    // initialises the class, so the value set here is the last one.
    void setHooksRecording(bool on) override
    {
        // Without JVMTI (the recorder) the VM is live: Java code started the agent.
        jvmtiPhase phase = JVMTI_PHASE_LIVE;
        jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
        if (jvmti != nullptr && (jvmti->GetPhase(&phase) != JVMTI_ERROR_NONE || phase != JVMTI_PHASE_LIVE))
            return;
        JNIEnv *env = LiveProfiling::instance().getJNIEnv();
        if (env == nullptr)
            return;
        jclass hooks = env->FindClass("com/orvane/agent/InstrumentationCallee");
        jfieldID field = hooks != nullptr ? env->GetStaticFieldID(hooks, "recording", "Z") : nullptr;
        if (field != nullptr)
            env->SetStaticBooleanField(hooks, field, on ? JNI_TRUE : JNI_FALSE);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            MessageUtil::message("could not switch the method hooks");
        }
        if (hooks != nullptr)
            env->DeleteLocalRef(hooks);
    }

private:
    // A frame of the previous stacks, resolved: its method's record and line.
    struct ResolvedFrame {
        jmethodID id;
        jlocation location;
        MethodDesc *method;
        uint16_t line;
    };
    // The stacks of the previous call, by thread handle. A frame at the same
    // depth with the same method and location resolves as it did then: the
    // sampler asks every few milliseconds, and most of a stack stays as it
    // was, so the method lookups and line tables are read for the frames that
    // changed only.
    std::mutex lastStacksLock;
    std::unordered_map<void *, std::vector<ResolvedFrame>> lastStacks;

    static uint16_t lineOf(const jvmtiFrameInfo &frame)
    {
        jint count = 0;
        jvmtiLineNumberEntry *table = nullptr;
        if (LiveProfiling::instance().jvmti->GetLineNumberTable(frame.method, &count, &table) != JVMTI_ERROR_NONE)
            return 0;
        std::vector<CallTreeHelper::LineEntry> entries;
        for (jint i = 0; i < count; i++)
            entries.push_back({static_cast<long long>(table[i].start_location), table[i].line_number});
        LiveProfiling::instance().jvmti->Deallocate(reinterpret_cast<unsigned char *>(table));
        return CallTreeHelper::translateLineNo(entries.data(), count, static_cast<long long>(frame.location));
    }
};

JvmtiVm jvmtiVm;

// The instrumenter's answers for the methods of a VM stack: its records
// carry the hook ids. Its maps are guarded by the class lock.
class InstrumenterHookMethods : public CpuProfilingSession::HookMethods {
public:
    void describe(MethodDesc *frameMethod, Frame *out) override
    {
        CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
        SessionLock lock(cpu->getProfilingSession(), IM_CLASS);
        MethodDesc *record = Instrumenter::getInstrumenterMethodDesc(frameMethod);
        out->known = record != nullptr;
        out->method = record != nullptr ? record : frameMethod;
        out->hooked = record != nullptr && Instrumenter::getInstrumentationState(record) != Instrumenter::STATE_NOT_INSTRUMENTED;
        out->filterEntry = Instrumenter::isFilterInstrMethod(out->method);
        out->netIo = Instrumenter::isNetIoMethod(frameMethod);
    }
};

InstrumenterHookMethods instrumenterHookMethods;

// Called by a hook while no live session exists in this library.
void wrongLibrary()
{
    MessageUtil::message("A different instance of the native library has been");
    MessageUtil::message("loaded. Please check the appropriate environment");
    MessageUtil::message("variable. (PATH, LD_LIBRARY_PATH, DYLD_LIBRARY_PATH)");
    LiveProfiling::instance().endVm(VmEnd::WRONG_LIBRARY);
}

CpuProfilingSession *sessionOrExit()
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (cpu == nullptr)
        wrongLibrary();
    return cpu;
}

} // namespace

namespace {

// The recorder runs without JVMTI: the thread's handle, id and name through JNI.
void describeWithoutJvmti(JNIEnv *env, LiveThreadManager *manager)
{
    if (env == nullptr || env->PushLocalFrame(8) != 0)
        return;
    jclass threadClass = env->FindClass("java/lang/Thread");
    jmethodID currentThread =
        threadClass != nullptr ? env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jmethodID getId = threadClass != nullptr ? env->GetMethodID(threadClass, "getId", "()J") : nullptr;
    jmethodID getName = threadClass != nullptr ? env->GetMethodID(threadClass, "getName", "()Ljava/lang/String;") : nullptr;
    jobject current = currentThread != nullptr ? env->CallStaticObjectMethod(threadClass, currentThread) : nullptr;
    if (current != nullptr && getId != nullptr && getName != nullptr && !env->ExceptionCheck()) {
        manager->threadHandle = env->NewGlobalRef(current);
        jlong id = env->CallLongMethod(current, getId);
        if (!env->ExceptionCheck())
            manager->setJavaThreadId(id);
        jstring name = env->ExceptionCheck() ? nullptr : static_cast<jstring>(env->CallObjectMethod(current, getName));
        const char *chars = name != nullptr && !env->ExceptionCheck() ? env->GetStringUTFChars(name, nullptr) : nullptr;
        if (chars != nullptr) {
            manager->setThreadName(chars);
            env->ReleaseStringUTFChars(name, chars);
        }
    }
    if (env->ExceptionCheck())
        env->ExceptionClear();
    env->PopLocalFrame(nullptr);
    manager->setDescribed();
}

// Without JVMTI a thread keeps its manager here.
thread_local LiveThreadManager *managerWithoutJvmti = nullptr;

// Names the manager after its Java thread (null: the calling thread) and
// keeps a handle of the thread.
void describe(LiveThreadManager *manager, jthread thread = nullptr)
{
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    JNIEnv *env = LiveProfiling::instance().getJNIEnv();
    if (jvmti == nullptr) {
        describeWithoutJvmti(env, manager);
        return;
    }
    jthread current = nullptr;
    if (thread != nullptr && env != nullptr)
        current = static_cast<jthread>(env->NewLocalRef(thread));
    else if (env != nullptr && jvmti->GetCurrentThread(&current) != JVMTI_ERROR_NONE)
        current = nullptr;
    if (current != nullptr) {
        manager->threadHandle = env->NewGlobalRef(current);
        // The Java thread id (Thread.getId) names the thread to the front end.
        jclass threadClass = env->FindClass("java/lang/Thread");
        jmethodID getId = threadClass != nullptr ? env->GetMethodID(threadClass, "getId", "()J") : nullptr;
        if (getId != nullptr) {
            jlong id = env->CallLongMethod(current, getId);
            if (!env->ExceptionCheck())
                manager->setJavaThreadId(id);
        }
        if (env->ExceptionCheck())
            env->ExceptionClear();
        if (threadClass != nullptr)
            env->DeleteLocalRef(threadClass);
        env->DeleteLocalRef(current);
    }
    jvmtiThreadInfo info;
    if (jvmti->GetThreadInfo(thread, &info) != JVMTI_ERROR_NONE)
        return;
    if (info.name != nullptr) {
        manager->setThreadName(info.name);
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(info.name));
    }
    jvmtiThreadGroupInfo group;
    if (info.thread_group != nullptr && jvmti->GetThreadGroupInfo(info.thread_group, &group) == JVMTI_ERROR_NONE) {
        if (group.name != nullptr) {
            manager->setGroupName(group.name);
            jvmti->Deallocate(reinterpret_cast<unsigned char *>(group.name));
        }
        if (env != nullptr && group.parent != nullptr)
            env->DeleteLocalRef(group.parent);
    }
    if (env != nullptr) {
        if (info.thread_group != nullptr)
            env->DeleteLocalRef(info.thread_group);
        if (info.context_class_loader != nullptr)
            env->DeleteLocalRef(info.context_class_loader);
    }
    manager->setDescribed();
}

} // namespace

CpuProfilingSession *LiveCpuProfilingHelper::getSession()
{
    return LiveProfiling::instance().getCpuSession();
}

void LiveCpuProfilingHelper::init(LiveProfilingSession *session, int stackSize)
{
    LiveProfiling &edge = session->getEdge();
    if (edge.getCpuSession() != nullptr)
        return;
    CpuProfilingSession::Settings settings;
    settings.stackSize = stackSize;
    settings.collectionMethod = session->getCallTreeCollectionMethod();
    std::unique_ptr<CpuProfilingSession> cpu(new CpuProfilingSession(session, &jvmtiVm, settings));
    cpu->setHookMethods(&instrumenterHookMethods);
    cpu->setPayloadHotspots(LiveProbeCommands::payloadHotspots());
    cpu->setAnnotationBytes(LiveProbeCommands::annotationBytes());
    edge.setCpuSession(std::move(cpu));
    // Thread.sleep and Object.wait may have been described before.
    if (LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession())
        classes->handWaitMethods();
}

namespace {

// The calling thread's manager once its JVMTI local storage named one, with
// the session it belongs to: a thread's manager never changes once stored,
// so the hooks of every call find it here without a call into the VM.
struct KnownManager {
    CpuProfilingSession *session;
    LiveThreadManager *manager;
};
thread_local KnownManager knownManager;

} // namespace

LiveThreadManager *LiveCpuProfilingHelper::getCurrentThreadManager(JNIEnv *, bool create)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (cpu == nullptr)
        return nullptr;
    KnownManager &known = knownManager;
    if (__builtin_expect(known.manager != nullptr && known.session == cpu, 1))
        return known.manager;
    void *stored = nullptr;
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    if (jvmti == nullptr) {
        if (managerWithoutJvmti != nullptr || !create)
            return managerWithoutJvmti;
        managerWithoutJvmti = LiveCpuProfilingHelper::getSession()->createThreadManager();
        describe(managerWithoutJvmti);
        return managerWithoutJvmti;
    }
    if (jvmti->GetThreadLocalStorage(nullptr, &stored) != JVMTI_ERROR_NONE)
        return nullptr;
    if (stored != nullptr) {
        known = KnownManager{cpu, static_cast<LiveThreadManager *>(stored)};
        return known.manager;
    }
    if (!create)
        return nullptr;
    LiveThreadManager *thread = cpu->createThreadManager();
    // Stored first: describing the thread runs Java code (Thread.getId),
    // whose hooks must find this manager rather than make another.
    if (LiveProfiling::instance().jvmti->SetThreadLocalStorage(nullptr, thread) != JVMTI_ERROR_NONE)
        MessageUtil::message("could not set thread local storage");
    else
        known = KnownManager{cpu, thread};
    describe(thread);
    return thread;
}

void LiveCpuProfilingHelper::ignoreCurrentThread(JNIEnv *env)
{
    LiveThreadManager *thread = getCurrentThreadManager(env, true);
    if (thread != nullptr)
        thread->setIgnored(true, false);
}

namespace {

// A thread that started, or that ran already when the agent attached: the
// agent's own threads and the VM's service threads are not profiled; the
// first profiled thread marks the VM's start unless something did before.
void threadStarted(LiveThreadManager *thread)
{
    ProfilingSession *session = LiveCpuProfilingHelper::getSession()->getProfilingSession();
    bool showAgentThreads = session != nullptr && static_cast<LiveProfilingSession *>(session)->getOptions().showOrvaneThreads;
    if (ThreadHelper::isIgnoredThread(thread->getThreadName().c_str(), thread->getGroupName().c_str(), showAgentThreads, false)) {
        thread->setIgnored(true, false);
        return;
    }
    if (session != nullptr)
        session->updateVmStartTime(Counter::getUsec(), false);
}

} // namespace

void JNICALL LiveCpuProfilingHelper::ovThreadStart(jvmtiEnv *, JNIEnv *env, jthread started)
{
    LiveThreadManager *thread = getCurrentThreadManager(env, true);
    if (thread == nullptr)
        return;
    LiveThreadEvents::onThreadStart(env, started, thread);
    threadStarted(thread);
}

LiveThreadManager *LiveCpuProfilingHelper::attachRegisterThread(JNIEnv *, jthread running)
{
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    CpuProfilingSession *cpu = getSession();
    if (cpu == nullptr || jvmti == nullptr || running == nullptr)
        return nullptr;
    void *stored = nullptr;
    if (jvmti->GetThreadLocalStorage(running, &stored) != JVMTI_ERROR_NONE)
        return nullptr;
    if (stored != nullptr)
        return static_cast<LiveThreadManager *>(stored);
    LiveThreadManager *thread = cpu->createThreadManager();
    if (jvmti->SetThreadLocalStorage(running, thread) != JVMTI_ERROR_NONE)
        MessageUtil::message("could not set thread local storage");
    describe(thread, running);
    threadStarted(thread);
    return thread;
}

namespace {

// The record of an object's monitor: the object is tagged on first sight
// (under the heap lock) and its tag names the monitor. Null while monitor
// recording is off.
LiveMonitorManager *monitorManagerFor(JNIEnv *env, jobject object)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (cpu == nullptr || object == nullptr || !LiveProfiling::instance().isMonitorProfiling())
        return nullptr;
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    ProfilingSession *session = cpu->getProfilingSession();
    session->enterMonitor(IM_HEAP);
    jlong tag = 0;
    bool tagged = jvmti->GetTag(object, &tag) == JVMTI_ERROR_NONE;
    if (tagged && tag == 0) {
        tag = LiveHeapProfilingHelper::getNewAllocItemId(nullptr);
        tagged = jvmti->SetTag(object, tag) == JVMTI_ERROR_NONE;
    }
    session->exitMonitor(IM_HEAP, false);
    if (!tagged || tag == 0)
        return nullptr;
    ClassData *classData = nullptr;
    // Option disable-monitor-class-info: monitors are known by their tag only.
    if (env != nullptr && !LiveProfiling::instance().getSession()->getOptions().disableMonitorClassInfo) {
        jclass klass = env->GetObjectClass(object);
        if (klass != nullptr) {
            classData = LiveClassProfilingHelper::getJvmtiClassData(klass, env, false, true);
            env->DeleteLocalRef(klass);
        }
    }
    return cpu->getMonitorManager(false, reinterpret_cast<void *>(static_cast<intptr_t>(tag)), classData);
}

// Gives back the references and buffers of a monitor usage reply.
void releaseMonitorUsage(JNIEnv *env, jvmtiEnv *jvmti, jvmtiMonitorUsage &usage)
{
    if (usage.owner != nullptr)
        env->DeleteLocalRef(usage.owner);
    for (int i = 0; i < usage.waiter_count; i++)
        env->DeleteLocalRef(usage.waiters[i]);
    for (int i = 0; i < usage.notify_waiter_count; i++)
        env->DeleteLocalRef(usage.notify_waiters[i]);
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(usage.waiters));
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(usage.notify_waiters));
}

// The manager of the thread that owns the object's monitor, null when unknown.
LiveThreadManager *monitorOwner(JNIEnv *env, jobject object)
{
    if (object == nullptr || env == nullptr)
        return nullptr;
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    jvmtiMonitorUsage usage;
    if (jvmti->GetObjectMonitorUsage(object, &usage) != JVMTI_ERROR_NONE)
        return nullptr;
    LiveThreadManager *owner = nullptr;
    void *stored = nullptr;
    if (usage.owner != nullptr && jvmti->GetThreadLocalStorage(usage.owner, &stored) == JVMTI_ERROR_NONE)
        owner = static_cast<LiveThreadManager *>(stored);
    releaseMonitorUsage(env, jvmti, usage);
    return owner;
}

// The Java monitors the threads are blocked on, each once, with their owner
// and the given threads waiting to own them.
bool contendedMonitors(const std::vector<void *> &threads, std::vector<VmInterface::ContendedMonitor> *out)
{
    out->clear();
    JNIEnv *env = LiveProfiling::instance().getJNIEnv();
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    if (env == nullptr || jvmti == nullptr || env->PushLocalFrame(32) != 0)
        return false;
    for (void *handle : threads) {
        jobject monitor = nullptr;
        if (jvmti->GetCurrentContendedMonitor(static_cast<jthread>(handle), &monitor) != JVMTI_ERROR_NONE || monitor == nullptr)
            continue;
        jlong tag = 0;
        if (jvmti->GetTag(monitor, &tag) != JVMTI_ERROR_NONE)
            tag = 0;
        bool seen = false;
        for (const VmInterface::ContendedMonitor &m : *out)
            seen = seen || (tag != 0 && m.monitorId == reinterpret_cast<void *>(static_cast<intptr_t>(tag)));
        LiveMonitorManager *record = seen ? nullptr : monitorManagerFor(env, monitor);
        if (seen || record == nullptr) {
            env->DeleteLocalRef(monitor);
            continue;
        }
        jvmtiMonitorUsage usage;
        if (jvmti->GetObjectMonitorUsage(monitor, &usage) != JVMTI_ERROR_NONE) {
            env->DeleteLocalRef(monitor);
            continue;
        }
        VmInterface::ContendedMonitor m{reinterpret_cast<void *>(static_cast<intptr_t>(record->getMonitorId())), record->getClassData(),
                                        nullptr, {}};
        for (void *other : threads) {
            if (usage.owner != nullptr && env->IsSameObject(usage.owner, static_cast<jobject>(other)))
                m.owner = other;
            for (int i = 0; i < usage.waiter_count; i++) {
                if (env->IsSameObject(usage.waiters[i], static_cast<jobject>(other)))
                    m.waiters.push_back(other);
            }
        }
        releaseMonitorUsage(env, jvmti, usage);
        env->DeleteLocalRef(monitor);
        out->push_back(m);
    }
    env->PopLocalFrame(nullptr);
    return true;
}

bool monitorEventsWanted()
{
    return LiveProfiling::instance().isThreadProfiling() || LiveProfiling::instance().isMonitorProfiling();
}

} // namespace

void JNICALL LiveCpuProfilingHelper::ovMonitorContendedEnter(jvmtiEnv *, JNIEnv *env, jthread, jobject object)
{
    if (!monitorEventsWanted())
        return;
    LiveThreadManager *thread = getCurrentThreadManager(env, false);
    if (thread == nullptr || thread->getIgnored())
        return;
    LiveMonitorManager *monitor = nullptr;
    LiveThreadManager *owner = nullptr;
    if (LiveProfiling::instance().isMonitorProfiling() && LiveCpuProfilingHelper::getSession()->getBlockThreshold() < 2000000000LL) {
        // Option disable-monitor-owner-info: the VM is not asked who holds it.
        if (!LiveProfiling::instance().getSession()->getOptions().disableMonitorOwnerInfo && !LiveProfiling::instance().isIbmVm())
            owner = monitorOwner(env, object);
        monitor = monitorManagerFor(env, object);
    }
    thread->setMonitorContendedEnter(Counter::getUsec(), monitor, owner, false);
}

void JNICALL LiveCpuProfilingHelper::ovMonitorContendedEntered(jvmtiEnv *, JNIEnv *env, jthread, jobject)
{
    if (!monitorEventsWanted())
        return;
    LiveThreadManager *thread = getCurrentThreadManager(env, false);
    if (thread != nullptr && !thread->getIgnored())
        thread->setMonitorContendedEntered(LiveCpuProfilingHelper::getSession()->getOverhead(), Counter::getUsec());
}

void JNICALL LiveCpuProfilingHelper::ovMonitorWait(jvmtiEnv *, JNIEnv *env, jthread, jobject object, jlong)
{
    if (!monitorEventsWanted())
        return;
    LiveThreadManager *thread = getCurrentThreadManager(env, false);
    if (thread == nullptr || thread->getIgnored())
        return;
    LiveMonitorManager *monitor = nullptr;
    if (LiveProfiling::instance().isMonitorProfiling() && LiveCpuProfilingHelper::getSession()->getWaitThreshold() < 2000000000LL)
        monitor = monitorManagerFor(env, object);
    thread->setMonitorWait(Counter::getUsec(), monitor, false);
}

void JNICALL LiveCpuProfilingHelper::ovMonitorWaited(jvmtiEnv *, JNIEnv *env, jthread, jobject, jboolean)
{
    if (!monitorEventsWanted())
        return;
    LiveThreadManager *thread = getCurrentThreadManager(env, false);
    if (thread != nullptr && !thread->getIgnored())
        thread->setMonitorWaited(LiveCpuProfilingHelper::getSession()->getOverhead(), Counter::getUsec());
}

void LiveCpuProfilingHelper::sleepEnter(JNIEnv *env)
{
    if (!monitorEventsWanted())
        return;
    if (LiveThreadManager *thread = getCurrentThreadManager(env, false))
        thread->sleepEnter(Counter::getUsec());
}

void LiveCpuProfilingHelper::sleepExit(JNIEnv *env)
{
    if (!monitorEventsWanted())
        return;
    if (LiveThreadManager *thread = getCurrentThreadManager(env, false))
        thread->sleepExit(Counter::getUsec());
}

void JNICALL LiveCpuProfilingHelper::ovThreadEnd(jvmtiEnv *, JNIEnv *env, jthread)
{
    LiveThreadManager *thread = getCurrentThreadManager(env, false);
    if (thread == nullptr)
        return;
    ProfilingSession *session = LiveCpuProfilingHelper::getSession()->getProfilingSession();
    session->enterMonitor(IM_THREAD);
    thread->setIsDead(Counter::getUsec());
    if (thread->threadHandle != nullptr && env != nullptr)
        env->DeleteGlobalRef(static_cast<jobject>(thread->threadHandle));
    thread->threadHandle = nullptr;
    if (thread->javaThreadManager != nullptr && env != nullptr)
        env->DeleteGlobalRef(static_cast<jobject>(thread->javaThreadManager));
    thread->javaThreadManager = nullptr;
    session->exitMonitor(IM_THREAD, false);
}

// Hooks of instrumented code: com.orvane.agent.InstrumentationCallee. The
// thread-manager handle the caller passes is not trusted: the thread's own
// local storage names its manager.
extern "C" JNIEXPORT jlong JNICALL Java_com_orvane_agent_InstrumentationCallee_enterMethod(JNIEnv *env, jclass, jint id, jshort line,
                                                                                          jboolean keep, jlong, jboolean timed)
{
    CpuProfilingSession *cpu = sessionOrExit();
    return cpu->agentMethodEntry(LiveCpuProfilingHelper::getCurrentThreadManager(env, true), id, static_cast<uint16_t>(line), false,
                                 keep != JNI_FALSE, timed != JNI_FALSE);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_enterFilteredMethod(JNIEnv *env, jclass, jint id,
                                                                                                jshort line, jlong)
{
    CpuProfilingSession *cpu = sessionOrExit();
    cpu->agentMethodEntry(LiveCpuProfilingHelper::getCurrentThreadManager(env, true), id, static_cast<uint16_t>(line), true, false, true);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_exitMethod(JNIEnv *env, jclass, jint id, jlong)
{
    CpuProfilingSession *cpu = sessionOrExit();
    cpu->agentMethodExit(LiveCpuProfilingHelper::getCurrentThreadManager(env, true), id, false);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_exitFilteredMethod(JNIEnv *env, jclass, jint id, jlong)
{
    CpuProfilingSession *cpu = sessionOrExit();
    cpu->agentMethodExit(LiveCpuProfilingHelper::getCurrentThreadManager(env, true), id, true);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_exceptionHandlerMethod(JNIEnv *env, jclass, jint id, jlong)
{
    CpuProfilingSession *cpu = sessionOrExit();
    cpu->agentMethodExceptionHandler(LiveCpuProfilingHelper::getCurrentThreadManager(env, true), id);
}

// The hooks' switch at the hook class's initialisation: true without a
// session, so that the hooks reach the natives that report it.
extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_InstrumentationCallee_isRecording0(JNIEnv *, jclass)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    return cpu == nullptr || cpu->isRecording() ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_lineNumberHint(JNIEnv *env, jclass, jshort line, jlong)
{
    CpuProfilingSession *cpu = sessionOrExit();
    cpu->agentLineNumberHint(LiveCpuProfilingHelper::getCurrentThreadManager(env, true), static_cast<uint16_t>(line));
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_enterExceptionalMethod(JNIEnv *env, jclass)
{
    JavaNatives::enterExceptionalMethod(env, sessionOrExit(), LiveCpuProfilingHelper::getCurrentThreadManager);
}

namespace {

// Monitor recording switched from Java; thresholds below 0 keep the current ones.
void setMonitorProfiling(bool on, int blockThreshold, int waitThreshold, JNIEnv *env)
{
    JavaNatives::setMonitorRecording(sessionOrExit(), on, blockThreshold, waitThreshold);
    LiveProfiling::instance().setMonitorProfiling(on, env);
}

} // namespace

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_startMonitorRecording0(JNIEnv *env, jclass, jint blockThreshold,
                                                                                             jint waitThreshold)
{
    setMonitorProfiling(true, blockThreshold, waitThreshold, env);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_stopMonitorRecording0(JNIEnv *env, jclass)
{
    setMonitorProfiling(false, -1, -1, env);
}

// com.orvane.agent.java.Transformer: the hook id of a class's own node.
extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_java_Transformer_getMethodId0(JNIEnv *env, jclass, jstring className)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (cpu == nullptr || className == nullptr)
        return 0;
    const char *name = env->GetStringUTFChars(className, nullptr);
    if (name == nullptr)
        return 0;
    ClassData *classData = LiveClassProfilingHelper::findClassData(name);
    env->ReleaseStringUTFChars(className, name);
    if (classData == nullptr || classData->classMethodDesc == nullptr)
        return 0;
    return cpu->getMethodHandles().getHandle(classData->classMethodDesc);
}

extern "C" JNIEXPORT jstring JNICALL Java_com_orvane_agent_java_Transformer_getMethodName0(JNIEnv *env, jclass, jint id)
{
    return JavaNatives::methodName(env, LiveCpuProfilingHelper::getSession(), id);
}

// The Java controller API (com.orvane.api.agent.Controller through
// com.orvane.agent.ControllerImpl): the application switches recording
// itself. Without a live session in this library the first call says so and
// every call does nothing.

namespace {

CpuProfilingSession *controllerSession()
{
    static std::atomic<bool> told{false};
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (cpu == nullptr && !told.exchange(true)) {
        MessageUtil::message("The native library has not been initialized.");
        MessageUtil::message("Profiling commands will be ignored.");
        MessageUtil::message("Did you forget the -agentpath parameter?");
    }
    return cpu;
}

} // namespace

void startCPURecording(bool reset)
{
    JavaNatives::setCpuRecording(controllerSession(), true, reset);
}

void stopCPURecording()
{
    JavaNatives::setCpuRecording(controllerSession(), false, false);
}

void startCallTracer(int cap, bool filtered, bool restart)
{
    if (CpuProfilingSession *cpu = controllerSession())
        cpu->setTraceRecord(true, filtered, restart, cap < 0 ? 0 : static_cast<uint32_t>(cap));
}

void stopCallTracer()
{
    if (CpuProfilingSession *cpu = controllerSession())
        cpu->setTraceRecord(false, false, false, 0);
}

void startMethodStatsRecording()
{
    if (CpuProfilingSession *cpu = controllerSession())
        cpu->setRecordMethodStatistics(true);
}

void stopMethodStatsRecording()
{
    if (CpuProfilingSession *cpu = controllerSession())
        cpu->setRecordMethodStatistics(false);
}

void triggerThreadDump()
{
    if (CpuProfilingSession *cpu = controllerSession())
        cpu->doThreadDump();
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_startCPURecording0(JNIEnv *, jclass, jboolean reset)
{
    startCPURecording(reset != JNI_FALSE);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_stopCPURecording0(JNIEnv *, jclass)
{
    stopCPURecording();
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_startCallTracer0(JNIEnv *, jclass, jint cap, jboolean filtered,
                                                                                      jboolean restart)
{
    startCallTracer(cap, filtered != JNI_FALSE, restart != JNI_FALSE);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_stopCallTracer0(JNIEnv *, jclass)
{
    stopCallTracer();
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_startMethodStatsRecording0(JNIEnv *, jclass)
{
    startMethodStatsRecording();
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_stopMethodStatsRecording0(JNIEnv *, jclass)
{
    stopMethodStatsRecording();
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_triggerThreadDump0(JNIEnv *, jclass)
{
    triggerThreadDump();
}

// The sampler thread "_orvane_native_sampler".

namespace {

LiveSamplerSession *liveSamplerSession = nullptr;

void JNICALL samplerThread(jvmtiEnv *, JNIEnv *, void *)
{
    LiveSamplerSession *sampler = liveSamplerSession;
    ProfilingSession *session = LiveCpuProfilingHelper::getSession()->getProfilingSession();
    while (!sampler->isStopped()) {
        sampler->doThreadStatusSampling(Counter::getUsec(), LiveProfiling::instance().isThreadProfiling() || LiveProfiling::instance().isMonitorProfiling());
        static_cast<LiveProfilingSession *>(session)->sleep(sampler->getIntervalMs());
    }
}

} // namespace

bool LiveCpuProfilingHelper::startSampler(int intervalMs)
{
    static bool threadRunning = false;
    if (threadRunning)
        return true;
    if (LiveCpuProfilingHelper::getSession() == nullptr)
        return false;
    // The recorder without JVMTI has the sampler session but no thread to run
    // it; the thread starts once the agent switches to JVMTI.
    bool made = liveSamplerSession == nullptr;
    if (made)
        liveSamplerSession = new LiveSamplerSession(LiveCpuProfilingHelper::getSession(), intervalMs);
    JNIEnv *env = LiveProfiling::instance().getJNIEnv();
    if (env == nullptr || LiveProfiling::instance().jvmti == nullptr)
        return false;
    jthread thread = LiveProfiling::instance().createThreadObject(env, "_orvane_native_sampler");
    jvmtiError error = thread == nullptr ? JVMTI_ERROR_INTERNAL
                                         : LiveProfiling::instance().jvmti->RunAgentThread(thread, samplerThread, nullptr, JVMTI_THREAD_MAX_PRIORITY);
    if (thread != nullptr)
        env->DeleteLocalRef(thread);
    if (error != JVMTI_ERROR_NONE) {
        MessageUtil::message("Could not start the sampler thread (%d).", static_cast<int>(error));
        if (made) {
            delete liveSamplerSession;
            liveSamplerSession = nullptr;
        }
        return false;
    }
    threadRunning = true;
    return true;
}

void LiveCpuProfilingHelper::stopSampler()
{
    if (liveSamplerSession != nullptr)
        liveSamplerSession->stop();
}

LiveSamplerSession *LiveCpuProfilingHelper::getSampler()
{
    return liveSamplerSession;
}
