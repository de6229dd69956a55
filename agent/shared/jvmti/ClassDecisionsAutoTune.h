#ifndef AGENT_CLASSDECISIONSAUTOTUNE_H
#define AGENT_CLASSDECISIONSAUTOTUNE_H

#include <string>
#include <unordered_set>
#include <vector>

class ClassProfilingSession;
class CpuProfilingSession;
class DataWriter;
class MethodDesc;
class ProfilingSession;
class SessionConfig;

// Auto-tuning of the instrumentation: finds the methods that are called very
// often, take a noticeable share of the recorded time and are short on
// average, and takes their hooks out: the instrumenter leaves a picked method
// without hooks whenever its class is rewritten, the agent's Java side
// retransforms the classes it is handed, and the front end learns of the
// methods. Each method is picked once per agent.
class ClassDecisionsAutoTune {
public:
    // Methods with more calls than this can be picked.
    static const long long MIN_CALLS = 1000;

    // Walks the call trees of the live threads that are not ignored with the
    // self-time visitor (under the class, thread and dead-thread locks of
    // `session`) and appends the newly picked methods to the list. Nothing
    // without auto-tuning, or unless the instrumentation type is 1 or 2 (or
    // `recorderRecording`). Picked methods are handed to the instrumenter
    // at once. Returns the number of methods picked now.
    int autoTuneInstrumentation(CpuProfilingSession *cpu, ClassProfilingSession *classes, ProfilingSession *session,
                                const SessionConfig &config, bool recorderRecording);
    // The names ("class.method(signature)", class dotted) of the methods
    // picked since the last call; the list is emptied.
    std::vector<std::string> takePicked();
    // The methods picked since the last call, for the front end: byte 1 and
    // the method's ID for each whose class's simple name does not begin with
    // "$Proxy", then byte 0; the list is emptied. The caller holds the
    // thread lock, as auto-tuning does.
    void writeNewAutoTuneMethods(DataWriter *writer);

private:
    std::unordered_set<MethodDesc *> tuned;
    std::vector<MethodDesc *> picked;
    std::vector<MethodDesc *> unreported;
};

#endif
