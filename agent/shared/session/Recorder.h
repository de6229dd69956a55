#ifndef AGENT_RECORDER_H
#define AGENT_RECORDER_H

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
    // The policy class's answer for a method: true and `out` filled, or
    // false when it has none.
    using PolicyLookup = std::function<bool(bool annotationMethod, const char *name, Policy *out)>;

    // The process's recorder.
    static Recorder &instance();

    bool isRecording() const { return recording; }
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

private:
    Recorder();

    volatile bool recording;
    std::mutex lock;
    std::unique_ptr<PointerHashSet<void>> nativeMethods;
    std::unordered_map<const MethodDesc *, Policy> policies;
};

#endif
