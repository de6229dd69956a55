#ifndef AGENT_JVMPI_HEAPVIEWS_H
#define AGENT_JVMPI_HEAPVIEWS_H

#include <functional>

class CallStackTree;
class ClassData;
class ClassProfilingSession;
class HeapProfilingSession;
class ProfilingSession;

// The heap views of the shared heap session (commands 3, 4, 24, 51), fed by
// piagent's allocation events. Kept apart from the JVMPI allocation items,
// whose names the shared heap session uses for its own.
namespace HeapViews {
// Calls its argument with the view id of every recorded live object, with
// the class and heap monitors held and the collector held off.
using LiveObjectWalk = std::function<void(const std::function<void(long long)> &)>;
// The views; live-object trees and the live-only data of snapshots walk the
// recorded live objects with `walk`.
HeapProfilingSession *create(ProfilingSession *session, ClassProfilingSession *classes, LiveObjectWalk walk);
void destroy(HeapProfilingSession *views);
// The object's id in the views, 0 while they do not record.
long long recordAllocation(HeapProfilingSession *views, CallStackTree *node, long long size, int type, ClassData *classData, int timeMs);
// The object's node in the views' backtrace tree, which outlives the
// allocating thread's call tree; null when it has none (heap monitor held).
CallStackTree *backtraceNode(HeapProfilingSession *views, long long tag);
void objectFreed(HeapProfilingSession *views, long long tag);
void setRecording(HeapProfilingSession *views, bool on, bool chrono);
// Forgets what was recorded (the objects recorded before count no more).
void reset(HeapProfilingSession *views);
// The next front end gets every class description again.
void resetDifferentialDataTransfer(HeapProfilingSession *views);
// The live object and array counts, and the freed and created counts since
// the last call.
void telemetry(HeapProfilingSession *views, int *arrays, int *nonArrays, int *freed, int *created);
} // namespace HeapViews

#endif
