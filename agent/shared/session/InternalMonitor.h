#ifndef AGENT_INTERNALMONITOR_H
#define AGENT_INTERNALMONITOR_H

// Bits naming the agent's shared data locks. Several are always entered in
// the order dead threads, thread, class, heap and left in reverse.
enum InternalMonitor {
    IM_CLASS = 1,        // class registry, method and per-class heap statistics
    IM_HEAP = 2,         // heap items, allocation trees, monitor object tags
    IM_THREAD = 4,       // thread managers, their trees, traces and monitor records
    IM_DEAD_THREADS = 8, // dead-thread store and cumulation of thread trees
    IM_ALL = 15
};

#endif
