#include "MonitorSet.h"

namespace {

enum EnterKind : unsigned char { TOOK_NOTHING, TOOK_STARTUP, TOOK_LOCKS };

const int MAX_NESTING = 64;
const int enterOrder[] = {IM_DEAD_THREADS, IM_THREAD, IM_CLASS, IM_HEAP};

// What each nested enter of this thread took. Plain data, so that VM threads
// need no destructor at exit.
struct EnterRecord {
    int depth;
    unsigned char kinds[MAX_NESTING];
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
    } else {
        kind = TOOK_LOCKS;
        for (int bit : enterOrder) {
            if (bits & bit)
                backend->enter(bit);
        }
    }
    if (record.depth < MAX_NESTING)
        record.kinds[record.depth] = kind;
    record.depth++;
}

void MonitorSet::exit(int bits)
{
    if (record.depth <= 0)
        return; // an exit without enter: nothing of ours is held
    record.depth--;
    EnterKind kind = TOOK_LOCKS;
    if (record.depth < MAX_NESTING)
        kind = static_cast<EnterKind>(record.kinds[record.depth]);
    else if (!created)
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
