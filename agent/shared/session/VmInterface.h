#ifndef AGENT_VMINTERFACE_H
#define AGENT_VMINTERFACE_H

#include <cstdint>
#include <vector>

#include "VmEnd.h"

class ClassData;
class MethodDesc;

// What the profiling engines need of the VM, so that they run without one:
// the interface binding implements it with JVMTI, tests with a fake.
class VmInterface {
public:
    // One frame of a thread's stack: the method and the line being run.
    struct StackFrame {
        MethodDesc *method;
        uint16_t line;
    };

    virtual ~VmInterface() = default;
    // Microseconds of the agent's clock (Counter::getUsec in a VM).
    virtual long long getUsec() = 0;
    // CPU time of the calling thread in microseconds; -1 when unknown.
    virtual long long getCurrentThreadCpuUsec() = 0;
    // The calling thread's recordable frames, outermost first. False when
    // the VM cannot tell.
    virtual bool getStackTrace(std::vector<StackFrame> *outermostFirst) = 0;
    // The stacks of other threads, named by the handles the binding gave
    // their managers: one vector per handle, outermost frame first, empty
    // for a thread that has ended. False when the VM cannot tell.
    virtual bool getThreadStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks) = 0;
    // The whole stacks of other threads for a thread dump, as
    // getThreadStacks gives them; a binding whose sampling pass keeps or
    // skips stacks reads every thread's stack here.
    virtual bool getThreadDumpStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks)
    {
        return getThreadStacks(threads, stacks);
    }
    // The VM's state bits of other threads (JVMTI thread state: 0x4
    // runnable, 0x400 blocked on monitor entry, 0x80 waiting), one per
    // handle. False when the VM cannot tell.
    virtual bool getThreadStates(const std::vector<void *> &, std::vector<int> *) { return false; }
    // The requests in progress on other threads, from their Java-side
    // thread managers (null: the thread has none): per manager the method
    // handles of the requests, outermost first. False when the VM cannot tell.
    virtual bool getThreadRequests(const std::vector<void *> &, std::vector<std::vector<long long>> *) { return false; }
    // A Java monitor that some of the given threads are blocked on: its
    // identity (the object's tag), its class (may be null), the handle of
    // its owner (null: none or not profiled) and the handles of the given
    // threads waiting to own it.
    struct ContendedMonitor {
        void *monitorId;
        ClassData *classData;
        void *owner;
        std::vector<void *> waiters;
    };
    // The monitors the given threads are blocked on, each once. False when
    // the VM cannot tell.
    virtual bool getContendedMonitors(const std::vector<void *> &, std::vector<ContendedMonitor> *) { return false; }
    // The method hooks of instrumented code reach the agent (true) or
    // return at once while nothing records.
    virtual void setHooksRecording(bool) {}
    // The engine cannot go on (it logged why): the VM ends through the
    // edge's one exit. Any thread. Never returns.
    [[noreturn]] virtual void endVm(VmEnd reason) { vmEndProcess(reason); }
    // getUsec is Counter::getUsec: the method hooks read the counter inline.
    bool readsAgentCounter() const { return agentCounter; }

protected:
    bool agentCounter = false;
};

#endif
