#include "Recorder.h"

#include "CpuProfilingSession.h"
#include "MethodDesc.h"
#include "RecorderMethodIds.h"

Recorder &Recorder::instance()
{
    // Never destroyed: VM threads may still call in while the process exits.
    static Recorder *recorder = new Recorder();
    return *recorder;
}

Recorder::Recorder() : recording(false) {}

void Recorder::setRecording(bool on, std::unique_ptr<PointerHashSet<void>> methods, CpuProfilingSession *cpu)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        recording = on;
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
        if (answered) {
            policies[method] = answer;
        } else if (found != policies.end()) {
            found->second.limit1 = 0;
            found->second.limit2 = 0;
            found->second.limit3 = 0;
        }
    }
}

bool Recorder::getPolicy(const MethodDesc *method, Policy *out)
{
    std::lock_guard<std::mutex> guard(lock);
    auto found = policies.find(method);
    if (found == policies.end())
        return false;
    *out = found->second;
    return true;
}
