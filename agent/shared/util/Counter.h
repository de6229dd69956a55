#ifndef AGENT_COUNTER_H
#define AGENT_COUNTER_H

// The agent's clock.
class Counter {
public:
    // Microseconds since the start of the whole second in which the counter
    // was first used; -1 when the time cannot be read. Thread-safe.
    static long long getUsec();
};

#endif
