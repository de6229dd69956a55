#include "Recorder.h"

#include <climits>

#include "CpuProfilingSession.h"
#include "MethodDesc.h"
#include "RecorderMethodIds.h"

Recorder &Recorder::instance()
{
    // Never destroyed: VM threads may still call in while the process exits.
    static Recorder *recorder = new Recorder();
    return *recorder;
}

std::atomic<bool> Recorder::active(false);

Recorder::Recorder() : recording(false) {}

void Recorder::setRecording(bool on, std::unique_ptr<PointerHashSet<void>> methods, CpuProfilingSession *cpu)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        recording = on;
        active.store(on, std::memory_order_relaxed);
        nativeMethods = std::move(methods);
    }
    if (cpu == nullptr)
        return;
    // The trees start empty; the hooks record while the recorder does.
    cpu->setCpuRecord(on, true);
}

bool Recorder::isNativelyRecorded(uint32_t methodId)
{
    std::lock_guard<std::mutex> guard(lock);
    return nativeMethods != nullptr && nativeMethods->contains(recorderMethodKey(methodId)) != 0;
}

void Recorder::updatePolicies(const std::vector<MethodDesc *> &methods, const ClassData *annotation, const ClassData *cumulation,
                              const PolicyLookup &lookup)
{
    for (MethodDesc *method : methods) {
        const ClassData *owner = method->getClassData();
        if (owner == nullptr || (owner != annotation && owner != cumulation))
            continue;
        Policy answer;
        bool answered = lookup(owner == annotation, method->getMethodName(), &answer);
        std::lock_guard<std::mutex> guard(lock);
        auto found = policies.find(method);
        // The runs seen so far keep counting into the method's average.
        if (answered) {
            policies[method].policy = answer;
        } else if (found != policies.end()) {
            found->second.policy.limit1 = 0;
            found->second.policy.limit2 = 0;
            found->second.policy.limit3 = 0;
        }
    }
}

bool Recorder::getPolicy(const MethodDesc *method, Policy *out)
{
    std::lock_guard<std::mutex> guard(lock);
    auto found = policies.find(method);
    if (found == policies.end())
        return false;
    *out = found->second.policy;
    return true;
}

bool Recorder::sortsRuns(const MethodDesc *method)
{
    Policy policy;
    return getPolicy(method, &policy) && (policy.limit1 > 0 || policy.limit2 > 0);
}

namespace {

// `percent` percent of `value` in integer arithmetic, wide enough for any
// average and any 32-bit percentage.
long long percentOf(long long value, long long percent)
{
    __int128 product = static_cast<__int128>(value) * percent / 100;
    if (product > LLONG_MAX)
        return LLONG_MAX;
    if (product < LLONG_MIN)
        return LLONG_MIN;
    return static_cast<long long>(product);
}

} // namespace

Recorder::RunKind Recorder::sortRun(const MethodDesc *method, long long runTime)
{
    std::lock_guard<std::mutex> guard(lock);
    auto found = policies.find(method);
    if (found == policies.end())
        return RunKind::ORDINARY;
    Record &record = found->second;
    const long long lower = record.policy.limit1;
    const long long upper = record.policy.limit2;
    if (record.policy.on1) {
        long long seen = record.runs;
        record.average = static_cast<long long>((static_cast<double>(seen) * static_cast<double>(record.average) +
                                                 static_cast<double>(runTime)) /
                                                static_cast<double>(seen + 1));
        record.runs = seen + 1;
        // The first runs only make the average.
        if (seen <= 10)
            return RunKind::ORDINARY;
        if (upper > 0 && runTime > percentOf(record.average, upper))
            return RunKind::VERY_SLOW;
        if (lower > 0 && runTime > percentOf(record.average, lower))
            return RunKind::SLOW;
        return RunKind::ORDINARY;
    }
    if (record.policy.on2) {
        long long millis = runTime / 1000;
        if (upper > 0 && millis > upper)
            return RunKind::VERY_SLOW;
        if (lower > 0 && millis > lower)
            return RunKind::SLOW;
    }
    return RunKind::ORDINARY;
}
