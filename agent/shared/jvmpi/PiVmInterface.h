#ifndef AGENT_JVMPI_PIVMINTERFACE_H
#define AGENT_JVMPI_PIVMINTERFACE_H

#include <unordered_map>
#include <vector>

#include "VmInterface.h"
#include "jvmpi.h"

class PiClassProfilingSession;

// The engines' view of a VM with the profiler interface. Threads are named
// by their JNIEnv*. Stacks of other threads are read in one pass with the
// collector disabled: every thread suspended, the call traces of the
// runnable ones taken, every thread resumed, the collector enabled again.
class PiVmInterface : public VmInterface {
public:
    // Frames read at most per thread.
    static const int MAX_FRAMES = 20000;

    explicit PiVmInterface(PiClassProfilingSession *classes) : classes(classes) { agentCounter = true; }

    long long getUsec() override;
    // Through the edge's one exit.
    [[noreturn]] void endVm(VmEnd reason) override;
    long long getCurrentThreadCpuUsec() override;
    // The calling thread's stack, read with its own JNIEnv*; false for a
    // thread the VM does not know.
    bool getStackTrace(std::vector<StackFrame> *outermostFirst) override;
    // A thread that has not run since the last pass keeps its last stack; a
    // thread that is not runnable gives an empty one.
    bool getThreadStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks) override;
    // The VM's status mapped to the state bits the sampler reads (suspended
    // and interrupted bits ignored): 1 runnable, 2 blocked, 3 waiting.
    // A thread dump: every thread but the calling one suspended, the call
    // trace of each read whatever its status, every thread resumed.
    bool getThreadDumpStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks) override;
    bool getThreadStates(const std::vector<void *> &threads, std::vector<int> *states) override;

    // The stack depth of the sampler's traces.
    void setSamplingDepth(int depth) { samplingDepth = depth > 0 ? depth : 1; }
    // Maps a VM thread status to the state bits; 0 for an unknown value.
    static int stateOf(jint status);

private:
    // Innermost-first VM frames as a stack outermost first; methods looked
    // up, with `env` (may be null) asking the VM for unknown ones; those it
    // cannot name are left out.
    void toStack(const std::vector<JVMPI_CallFrame> &trace, JNIEnv *env, std::vector<StackFrame> *stack);
    // Reads the call trace of `env` (suspended, or the caller) of at most
    // `depth` frames.
    static void readTrace(JVMPI_Interface *vm, JNIEnv *env, int depth, std::vector<JVMPI_CallFrame> *out);

    PiClassProfilingSession *classes;
    int samplingDepth = 100;
    std::vector<JVMPI_CallFrame> frames;
    std::unordered_map<void *, std::vector<StackFrame>> previous;
};

#endif
