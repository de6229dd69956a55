#ifndef AGENT_COUNTER_H
#define AGENT_COUNTER_H

// The agent's clock.
class Counter {
public:
    // Microseconds since the start of the whole second in which the counter
    // was first used; -1 when the time cannot be read. It never goes back
    // when the wall clock is set. Thread-safe; the first call measures the
    // time-stamp counter's rate for about a millisecond.
    static long long getUsec();
};

#endif
