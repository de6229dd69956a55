#include "LiveSamplerSession.h"

#include <cstdint>
#include <vector>

#include "CallTreeSampler.h"
#include "CpuProfilingSession.h"
#include "ProfilingSession.h"
#include "InternalMonitor.h"
#include "LiveThreadManager.h"
#include "SessionLock.h"
#include "VmInterface.h"

namespace {

const int STATUS_HISTORY_MS = 200;

} // namespace

LiveSamplerSession::LiveSamplerSession(CpuProfilingSession *cpuSession, int interval)
    : SamplerSession(cpuSession->getProfilingSession()), cpu(cpuSession), intervalMs(interval < 1 ? 1 : interval), statusPassPeriod(STATUS_HISTORY_MS / (interval < 1 ? 1 : interval)),
      statusPassCounter(0), stopped(false), runnable(0), blocked(0), waiting(0), netIO(0)
{
    if (statusPassPeriod < 1)
        statusPassPeriod = 1;
}

LiveSamplerSession::~LiveSamplerSession() = default;

void LiveSamplerSession::doThreadStatusSampling(long long now, bool threadProfiling)
{
    SessionLock lock(cpu->getProfilingSession(), IM_THREAD);
    if (!stopped.load() && threadProfiling) {
        // Counts up to the period and records on the pass that wraps to 0.
        if (++statusPassCounter >= statusPassPeriod) {
            statusPassCounter = 0;
            for (LiveThreadManager *t : cpu->getThreadManagers()) {
                if (!t->getIsDead() && !t->getIgnored() && t->getThreadDesc() != nullptr)
                    t->getThreadDesc()->ensureThreadStatusCapacity();
            }
        }
        recordThreadStatus(now, statusPassCounter == 0);
    }
    // Stacks are sampled only while they are recorded: for the CPU times, or
    // for the allocations' call stacks.
    bool recorded = cpu->isRecording() || cpu->getProfilingSession()->isAllocRecording();
    if (!stopped.load() && cpu->getSettings().collectionMethod == 3 && recorded) {
        // The first pass only sets the clock.
        long long interval = previousPass > 0 && cpu->isRecording() ? now - previousPass : 0;
        sampleCallTrees(interval);
    }
    previousPass = now;
}

void LiveSamplerSession::sampleCallTrees(long long interval)
{
    if (restarted) {
        restarted = false;
        for (auto &s : samplers)
            s.second->getThread()->reset();
        samplers.clear();
    }
    std::vector<LiveThreadManager *> threads;
    std::vector<void *> handles;
    for (LiveThreadManager *t : cpu->getThreadManagers()) {
        if (t->getIsDead() || t->getIgnored() || t->threadHandle == nullptr || t->getThreadDesc() == nullptr ||
            t->receivesMethodEvents())
            continue;
        threads.push_back(t);
        handles.push_back(t->threadHandle);
    }
    std::vector<std::vector<VmInterface::StackFrame>> stacks;
    if (threads.empty() || !cpu->getVm()->getThreadStacks(handles, &stacks) || stacks.size() != threads.size())
        return;
    // The requests in progress, by method handle; an unknown handle names none.
    std::vector<void *> javaManagers;
    for (LiveThreadManager *t : threads)
        javaManagers.push_back(t->javaThreadManager);
    std::vector<std::vector<long long>> requestHandles;
    if (!cpu->getVm()->getThreadRequests(javaManagers, &requestHandles) || requestHandles.size() != threads.size())
        requestHandles.assign(threads.size(), std::vector<long long>());
    // Samplers of threads that are gone go with the old map.
    std::unordered_map<LiveThreadManager *, std::unique_ptr<CallTreeSampler>> next;
    for (size_t i = 0; i < threads.size(); i++) {
        auto found = samplers.find(threads[i]);
        std::unique_ptr<CallTreeSampler> sampler =
            found != samplers.end() ? std::move(found->second) : std::unique_ptr<CallTreeSampler>(new CallTreeSampler(threads[i]));
        if (!stacks[i].empty()) {
            std::vector<MethodDesc *> requests;
            for (long long h : requestHandles[i]) {
                MethodDesc *m = h > 0 && h <= INT32_MAX ? cpu->getMethodHandles().lookup(static_cast<int32_t>(h)) : nullptr;
                if (m != nullptr)
                    requests.push_back(m);
            }
            sampler->setData(stacks[i]);
            sampler->saveData(interval, requests);
        }
        next[threads[i]] = std::move(sampler);
    }
    samplers.swap(next);
}

void LiveSamplerSession::recordThreadStatus(long long now, bool record)
{
    std::vector<LiveThreadManager *> threads;
    std::vector<void *> handles;
    for (LiveThreadManager *t : cpu->getThreadManagers()) {
        if (t->getIsDead() || t->getIgnored() || t->threadHandle == nullptr)
            continue;
        threads.push_back(t);
        handles.push_back(t->threadHandle);
    }
    std::vector<int> states;
    bool sampled = !threads.empty() && cpu->getVm()->getThreadStates(handles, &states) && states.size() == threads.size();
    int counts[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < threads.size(); i++) {
        LiveThreadManager *t = threads[i];
        unsigned char status = t->getThreadStatus();
        if (sampled) {
            if (states[i] & STATE_RUNNABLE)
                status = LiveThreadManager::STATUS_RUNNABLE;
            else if (states[i] & STATE_BLOCKED_ON_MONITOR_ENTER)
                status = LiveThreadManager::STATUS_BLOCKED;
            else if (states[i] & STATE_WAITING)
                status = LiveThreadManager::STATUS_WAITING;
        }
        t->setThreadStatus(status, now, record, false);
        switch (t->getDisplayThreadStatus()) {
        case LiveThreadManager::STATUS_BLOCKED:
            counts[0]++;
            break;
        case LiveThreadManager::STATUS_WAITING:
            counts[1]++;
            break;
        case LiveThreadManager::STATUS_NET_IO:
            counts[3]++;
            break;
        default:
            counts[2]++;
            break;
        }
    }
    blocked = counts[0];
    waiting = counts[1];
    runnable = counts[2];
    netIO = counts[3];
    cpu->setNumActiveThreads(runnable);
}

void LiveSamplerSession::addJavaSample(long long now, const VmCounts &vm, long long memory1, long long memory2,
                                       const int32_t *custom, int count)
{
    int32_t values[STANDARD_SERIES];
    values[UNFILTERED_CLASSES] = vm.unfilteredClasses;
    values[FILTERED_CLASSES] = vm.filteredClasses;
    values[LIVE_OBJECTS] = vm.liveObjects;
    values[LIVE_ARRAYS] = vm.liveArrays;
    values[MEMORY_1_KB] = toKb(memory1);
    values[MEMORY_2_KB] = toKb(memory2);
    values[RUNNABLE_THREADS] = runnable;
    values[WAITING_THREADS] = waiting;
    values[BLOCKED_THREADS] = blocked;
    values[NET_IO_THREADS] = netIO;
    values[FREED_OBJECTS] = vm.freedObjects;
    values[CREATED_OBJECTS] = vm.createdObjects;
    addSample(now, values, custom, count);
}
