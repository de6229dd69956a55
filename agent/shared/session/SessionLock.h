#ifndef AGENT_SESSIONLOCK_H
#define AGENT_SESSIONLOCK_H

#include "ProfilingSession.h"

// Holds internal monitors of a session (InternalMonitor bits) for a scope.
class SessionLock {
public:
    SessionLock(ProfilingSession *owner, int monitorBits) : session(owner), bits(monitorBits) { session->enterMonitor(bits); }
    ~SessionLock() { session->exitMonitor(bits, false); }
    SessionLock(const SessionLock &) = delete;
    SessionLock &operator=(const SessionLock &) = delete;

private:
    ProfilingSession *session;
    int bits;
};

#endif
