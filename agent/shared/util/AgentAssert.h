#ifndef AGENT_AGENTASSERT_H
#define AGENT_AGENTASSERT_H

#include <cstdlib>

#include "MessageUtil.h"

// Guards states that only a programming error can produce (a missing class of
// the agent's own archive, a missing session): reports the source place and
// aborts.
#define AGENT_ASSERT(condition, what)                                                                      \
    do {                                                                                                   \
        if (!(condition)) {                                                                                \
            MessageUtil::message("Assertion failed: %s (%s) at %s:%d", #condition, what, __FILE__, __LINE__); \
            abort();                                                                                       \
        }                                                                                                  \
    } while (0)

#endif
