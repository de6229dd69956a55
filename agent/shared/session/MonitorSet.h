#ifndef AGENT_MONITORSET_H
#define AGENT_MONITORSET_H

#include "InternalMonitor.h"

// Enters and leaves the four data locks by bit set, in the fixed order, through
// the interface binding's raw monitors. Until the binding has created the four
// locks every request takes the start-up lock instead. What an enter took is
// remembered per thread, so the matching exit releases exactly that even when
// the four locks appear (or shutdown begins) in between.
class MonitorSet {
public:
    // The binding's raw monitors: `which` is an InternalMonitor bit, or
    // STARTUP for the start-up lock.
    class Backend {
    public:
        virtual ~Backend() = default;
        virtual void enter(int which) = 0;
        virtual void exit(int which) = 0;
    };
    static const int STARTUP = 0;

    explicit MonitorSet(Backend *backend) : backend(backend), created(false), shuttingDown(false) {}

    // The four locks exist from now on.
    void setCreated() { created = true; }
    // Later enters and exits go to `other` (an agent that started on Java
    // object monitors moves to the binding's raw monitors). The caller holds
    // every lock of the old backend while it switches, so no thread is inside.
    void setBackend(Backend *other) { backend = other; }
    bool isCreated() const { return created; }
    // From now on enter and exit do nothing (the process is going away).
    void setShuttingDown() { shuttingDown = true; }

    // Enters the locks of `bits` in the order 8, 4, 1, 2. May block. Enters
    // and exits nest per thread like the raw monitors themselves.
    void enter(int bits);
    // Leaves what the matching enter of this thread took, in the order 2, 1, 4, 8.
    void exit(int bits);

private:
    Backend *volatile backend;
    volatile bool created;
    volatile bool shuttingDown;
};

#endif
