#ifndef AGENT_CLASSDECISIONSAUTOTUNE_H
#define AGENT_CLASSDECISIONSAUTOTUNE_H

#include <string>
#include <unordered_set>
#include <vector>

class ClassProfilingSession;
class CpuProfilingSession;
class MethodDesc;
class ProfilingSession;
class SessionConfig;

// Auto-tuning of the instrumentation: finds the methods that are called very
// often, take a noticeable share of the recorded time and are short on
// average, so that the agent's Java side can leave their hooks out. Each
// method is picked once per agent.
class ClassDecisionsAutoTune {
public:
    // Methods with more calls than this can be picked.
    static const long long MIN_CALLS = 1000;

    // Walks the call trees of the live threads that are not ignored with the
    // self-time visitor (under the class, thread and dead-thread locks of
    // `session`) and appends the newly picked methods to the list. Nothing
    // without auto-tuning, or unless the instrumentation type is 1 or 2 (or
    // `recorderRecording`). Returns the number of methods picked now.
    int autoTuneInstrumentation(CpuProfilingSession *cpu, ClassProfilingSession *classes, ProfilingSession *session,
                                const SessionConfig &config, bool recorderRecording);
    // The names ("class.method(signature)", class dotted) of the methods
    // picked since the last call; the list is emptied.
    std::vector<std::string> takePicked();

private:
    std::unordered_set<MethodDesc *> tuned;
    std::vector<MethodDesc *> picked;
};

#endif
