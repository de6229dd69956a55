#ifndef AGENT_CLASSDECISIONSOBJECTHOOK_H
#define AGENT_CLASSDECISIONSOBJECTHOOK_H

#include <atomic>
#include <functional>

// Whether java.lang.Object's constructor carries the allocation hook. The VM
// loads Object before the agent sees classes, so the hook comes in by a
// retransformation, once; it counts as installed only when that succeeded,
// so that a failure is reported and the next start of allocation recording
// tries again.
class ClassDecisionsObjectHook {
public:
    // Runs `retransform` (which rewrites java.lang.Object and returns 0, or
    // the VM's error code, or -1 when Object was not rewritten) unless the
    // hook is in or another thread is installing it. A failure prints
    // "Allocations of plain objects cannot be recorded: java.lang.Object was
    // not retransformed (%d).". Returns whether the hook is in.
    bool install(const std::function<int()> &retransform);
    bool isInstalled() const { return installed.load(); }

private:
    std::atomic<bool> installed{false};
    std::atomic<bool> installing{false};
};

#endif
