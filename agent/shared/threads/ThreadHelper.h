#ifndef AGENT_THREADHELPER_H
#define AGENT_THREADHELPER_H

class CallStackTree;

// Measures of recorded runs.
class ThreadHelper {
public:
    // The time of an exceptional run by time type: 1 the run's value; 2, 3, 5
    // the waiting, blocking or net I/O time summed over its subtree; 4 the
    // value plus those three.
    static long long getExceptionalTime(CallStackTree *run, int timeType);
    // Whether a new thread is left unprofiled by its name and group: the
    // agent's own threads ("_orvane...", any case) unless `showAgentThreads`,
    // and, unless `keepServiceThreads`, the VM's service threads.
    static bool isIgnoredThread(const char *name, const char *group, bool showAgentThreads, bool keepServiceThreads);
};

#endif
