#ifndef AGENT_RECORDER_H
#define AGENT_RECORDER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "PointerHashSet.h"

class ClassData;
class CpuProfilingSession;
class MethodDesc;

// The recorder's state in the native agent: whether it records, the methods
// its Java side hands over to native recording, and the per-method policies
// that sort the runs of probe and class methods by their duration.
class Recorder {
public:
    // What the recorder's policy class says of one method: three pairs of a
    // limit and its switch, and a last value. Zero until a policy sets it.
    struct Policy {
        int32_t limit1 = 0;
        bool on1 = false;
        int32_t limit2 = 0;
        bool on2 = false;
        int32_t limit3 = 0;
        bool on3 = false;
        int32_t last = 0;
    };
    // What a policy does with the runs of its method: with a positive
    // limit1 (the lower threshold) or limit2 (the upper threshold) every run
    // is timed on its own; on1 compares a run with the method's average run
    // (thresholds in percent of it), on2 with the thresholds in milliseconds;
    // a run above the upper threshold is a very slow run, one above the lower
    // threshold a slow run, others go to the method's ordinary node.
    enum class RunKind { ORDINARY, SLOW, VERY_SLOW };

    // The policy class's answer for a method: true and `out` filled, or
    // false when it has none.
    using PolicyLookup = std::function<bool(bool annotationMethod, const char *name, Policy *out)>;

    // The process's recorder.
    static Recorder &instance();

    bool isRecording() const { return recording; }
    // Whether the process's recorder records (cheap: read on every method entry).
    static bool recordsNow() { return active.load(std::memory_order_relaxed); }
    // The recorder switch: recording on or off; `methods` (see
    // collectRecorderMethodIds) become the natively recorded methods, and
    // the CPU data starts empty.
    void setRecording(bool on, std::unique_ptr<PointerHashSet<void>> methods, CpuProfilingSession *cpu);
    // Whether the method id was handed over by the last switch.
    bool isNativelyRecorded(uint32_t methodId);

    // Asks `lookup` for every method of `methods` whose class is the probe
    // class `annotation` or the cumulation class `cumulation`. An answer
    // fills the method's policy (made zeroed on first use); no answer clears
    // the three limits of an existing one. Caller holds the class lock.
    void updatePolicies(const std::vector<MethodDesc *> &methods, const ClassData *annotation, const ClassData *cumulation,
                        const PolicyLookup &lookup);
    // The method's policy; false when it has none.
    bool getPolicy(const MethodDesc *method, Policy *out);
    // Whether the method's runs are timed one by one: its policy has a
    // positive threshold.
    bool sortsRuns(const MethodDesc *method);
    // Where a run of `runTime` microseconds of the method goes; the run also
    // counts into the method's average.
    RunKind sortRun(const MethodDesc *method, long long runTime);

private:
    Recorder();

    volatile bool recording;
    std::mutex lock;
    std::unique_ptr<PointerHashSet<void>> nativeMethods;
    // A method's policy and the runs it has seen.
    struct Record {
        Policy policy;
        long long runs = 0;
        long long average = 0;
    };
    std::unordered_map<const MethodDesc *, Record> policies;
    static std::atomic<bool> active;
};

#endif
