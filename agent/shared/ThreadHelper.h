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
};

#endif
