#include "MonitorSet.h"

namespace {

// TOOK_HELD: every lock asked for was held already by an outer enter of this
// thread on the same backend, so nothing was entered again.
enum EnterKind : unsigned char { TOOK_NOTHING, TOOK_STARTUP, TOOK_LOCKS, TOOK_HELD };

const int MAX_NESTING = 64;
const int enterOrder[] = {IM_DEAD_THREADS, IM_THREAD, IM_CLASS, IM_HEAP};

// What each nested enter of this thread took. Plain data, so that VM threads
// need no destructor at exit.
struct EnterRecord {
    int depth;
    int held;                               // the locks this thread holds on `heldOn`
    const void *heldOn;
    unsigned char kinds[MAX_NESTING];
    unsigned char heldBefore[MAX_NESTING];  // `held` before each nested enter
};
thread_local EnterRecord record;

} // namespace

void MonitorSet::enter(int bits)
{
    EnterKind kind;
    if (shuttingDown) {
        kind = TOOK_NOTHING;
    } else if (!created) {
        kind = TOOK_STARTUP;
        backend->enter(STARTUP);
    } else if (record.depth < MAX_NESTING && record.held != 0 && record.heldOn == backend && (bits & ~record.held) == 0) {
        // The raw monitors nest, so entering them again would only count:
        // the hot paths (every recorded allocation) nest their locks.
        kind = TOOK_HELD;
    } else {
        kind = TOOK_LOCKS;
        for (int bit : enterOrder) {
            if (bits & bit)
                backend->enter(bit);
        }
    }
    if (record.depth < MAX_NESTING) {
        record.kinds[record.depth] = kind;
        record.heldBefore[record.depth] = static_cast<unsigned char>(record.held);
        if (kind == TOOK_LOCKS && (record.held == 0 || record.heldOn == backend)) {
            record.held |= bits & IM_ALL;
            record.heldOn = backend;
        }
    }
    record.depth++;
}

void MonitorSet::exit(int bits)
{
    if (record.depth <= 0)
        return; // an exit without enter: nothing of ours is held
    record.depth--;
    EnterKind kind = TOOK_LOCKS;
    if (record.depth < MAX_NESTING) {
        kind = static_cast<EnterKind>(record.kinds[record.depth]);
        record.held = record.heldBefore[record.depth];
    } else if (!created)
        kind = TOOK_STARTUP;
    if (kind == TOOK_STARTUP) {
        backend->exit(STARTUP);
    } else if (kind == TOOK_LOCKS) {
        for (int i = 3; i >= 0; i--) {
            if (bits & enterOrder[i])
                backend->exit(enterOrder[i]);
        }
    }
}
