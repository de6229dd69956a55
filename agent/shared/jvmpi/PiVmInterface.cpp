#include "PiVmInterface.h"

#include "Counter.h"
#include "PiClassProfilingSession.h"
#include "PiProfiling.h"
#include "LiveSamplerSession.h"

long long PiVmInterface::getUsec()
{
    return Counter::getUsec();
}

long long PiVmInterface::getCurrentThreadCpuUsec()
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr || vm->GetCurrentThreadCpuTime == nullptr)
        return -1;
    return vm->GetCurrentThreadCpuTime() / 1000;
}

int PiVmInterface::stateOf(jint status)
{
    switch (status & ~(JVMPI_THREAD_SUSPENDED | JVMPI_THREAD_INTERRUPTED)) {
    case JVMPI_THREAD_RUNNABLE:
        return LiveSamplerSession::STATE_RUNNABLE;
    case JVMPI_THREAD_MONITOR_WAIT:
        return LiveSamplerSession::STATE_BLOCKED_ON_MONITOR_ENTER;
    case JVMPI_THREAD_CONDVAR_WAIT:
        return LiveSamplerSession::STATE_WAITING;
    default:
        return 0;
    }
}

bool PiVmInterface::getThreadStates(const std::vector<void *> &threads, std::vector<int> *states)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr)
        return false;
    states->clear();
    for (void *thread : threads)
        states->push_back(stateOf(vm->GetThreadStatus(static_cast<JNIEnv *>(thread))));
    return true;
}

bool PiVmInterface::getThreadStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr)
        return false;
    stacks->assign(threads.size(), std::vector<StackFrame>());
    std::vector<std::vector<JVMPI_CallFrame>> traces(threads.size());
    std::vector<bool> kept(threads.size(), false);
    frames.resize(static_cast<size_t>(samplingDepth));
    // GC stays disabled for the whole pass, and is enabled again on every
    // path out of it.
    vm->DisableGC();
    for (void *thread : threads)
        vm->SuspendThread(static_cast<JNIEnv *>(thread));
    for (size_t i = 0; i < threads.size(); i++) {
        JNIEnv *env = static_cast<JNIEnv *>(threads[i]);
        if (stateOf(vm->GetThreadStatus(env)) != LiveSamplerSession::STATE_RUNNABLE)
            continue;
        if (!vm->ThreadHasRun(env)) {
            kept[i] = true;
            continue;
        }
        JVMPI_CallTrace trace;
        trace.env_id = env;
        trace.num_frames = 0;
        trace.frames = frames.data();
        vm->GetCallTrace(&trace, samplingDepth);
        int count = trace.num_frames < 0 ? 0 : trace.num_frames > samplingDepth ? samplingDepth : trace.num_frames;
        traces[i].assign(frames.begin(), frames.begin() + count);
    }
    for (void *thread : threads)
        vm->ResumeThread(static_cast<JNIEnv *>(thread));
    vm->EnableGC();
    // The methods are looked up with the threads running again: a lookup
    // may make the VM load a class. It asks the VM for the class of a
    // method not met yet when the sampler's thread has a JNIEnv.
    JNIEnv *self = PiProfiling::currentEnv();
    std::unordered_map<void *, std::vector<StackFrame>> seen;
    for (size_t i = 0; i < threads.size(); i++) {
        std::vector<StackFrame> &stack = (*stacks)[i];
        if (kept[i]) {
            auto last = previous.find(threads[i]);
            if (last != previous.end())
                stack = last->second;
        } else {
            toStack(traces[i], self, &stack);
        }
        seen[threads[i]] = stack;
    }
    previous.swap(seen);
    return true;
}

void PiVmInterface::toStack(const std::vector<JVMPI_CallFrame> &trace, JNIEnv *env, std::vector<StackFrame> *stack)
{
    // Traces come innermost first; stacks go outermost first.
    for (auto frame = trace.rbegin(); frame != trace.rend(); ++frame) {
        MethodDesc *method = classes != nullptr ? classes->getMethodDesc(frame->method_id, env) : nullptr;
        if (method == nullptr)
            continue;
        stack->push_back(StackFrame{method, static_cast<uint16_t>(frame->lineno < 0 ? 0 : frame->lineno)});
    }
}

void PiVmInterface::readTrace(JVMPI_Interface *vm, JNIEnv *env, int depth, std::vector<JVMPI_CallFrame> *out)
{
    out->assign(static_cast<size_t>(depth), JVMPI_CallFrame());
    JVMPI_CallTrace trace;
    trace.env_id = env;
    trace.num_frames = 0;
    trace.frames = out->data();
    vm->GetCallTrace(&trace, depth);
    out->resize(static_cast<size_t>(trace.num_frames < 0 ? 0 : trace.num_frames > depth ? depth : trace.num_frames));
}

bool PiVmInterface::getStackTrace(std::vector<StackFrame> *outermostFirst)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    JNIEnv *self = PiProfiling::currentEnv();
    if (vm == nullptr || self == nullptr)
        return false;
    std::vector<JVMPI_CallFrame> trace;
    readTrace(vm, self, MAX_FRAMES, &trace);
    outermostFirst->clear();
    toStack(trace, self, outermostFirst);
    return true;
}

bool PiVmInterface::getThreadDumpStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (vm == nullptr)
        return false;
    JNIEnv *self = PiProfiling::currentEnv();
    std::vector<std::vector<JVMPI_CallFrame>> traces(threads.size());
    for (void *thread : threads)
        if (thread != self)
            vm->SuspendThread(static_cast<JNIEnv *>(thread));
    for (size_t i = 0; i < threads.size(); i++)
        readTrace(vm, static_cast<JNIEnv *>(threads[i]), MAX_FRAMES, &traces[i]);
    for (void *thread : threads)
        if (thread != self)
            vm->ResumeThread(static_cast<JNIEnv *>(thread));
    stacks->assign(threads.size(), std::vector<StackFrame>());
    for (size_t i = 0; i < threads.size(); i++)
        toStack(traces[i], self, &(*stacks)[i]);
    return true;
}

void PiVmInterface::endVm(VmEnd reason)
{
    PiProfiling::endVm(reason);
}
