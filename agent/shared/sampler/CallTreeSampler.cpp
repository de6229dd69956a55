#include "CallTreeSampler.h"

#include <cstring>

#include "ClassData.h"
#include "LiveThreadManager.h"
#include "ThreadRecordingSession.h"
#include "MethodDesc.h"

namespace {

bool isClass(const MethodDesc *m, const char *dottedName)
{
    return m != nullptr && m->getClassData() != nullptr && strcmp(m->getClassData()->getClassName(), dottedName) == 0;
}

bool isObjectConstructor(const MethodDesc *m)
{
    return isClass(m, "java.lang.Object") && strcmp(m->getMethodName(), "<init>") == 0;
}

bool isAgentFrame(const MethodDesc *m)
{
    return m != nullptr && m->getClassData() != nullptr && m->getClassData()->getIsAgentClass();
}

// Where the application's main thread's recording starts in `frames`
// (outermost first): at the frame of `*main`, else at the outermost frame.
// `*main` is the first method named "main" met, kept from then on.
size_t mainThreadStart(const std::vector<VmInterface::StackFrame> &frames, const MethodDesc **main)
{
    for (size_t i = 0; *main == nullptr && i < frames.size(); i++) {
        if (frames[i].method != nullptr && strcmp(frames[i].method->getMethodName(), "main") == 0)
            *main = frames[i].method;
    }
    for (size_t i = 0; *main != nullptr && i < frames.size(); i++) {
        if (frames[i].method == *main)
            return i;
    }
    return 0;
}

bool sameFrame(const VmInterface::StackFrame &a, const VmInterface::StackFrame &b)
{
    return a.method == b.method && a.line == b.line;
}

} // namespace

void CallTreeSampler::setData(const std::vector<VmInterface::StackFrame> &frames)
{
    current.clear();
    // What runs the application's main thread around its main is not the
    // application's.
    bool mainThread = thread->isAgentMainThread() || thread->isPremadeMain();
    size_t start = mainThread ? mainThreadStart(frames, &mainMethod) : 0;
    // The agent's own frames and what they call are not the application's
    // (unless the agent's classes are sampled too).
    bool agentToo = thread->getSettings().recordAgentClasses;
    for (size_t i = start; i < frames.size(); i++) {
        const VmInterface::StackFrame &f = frames[i];
        if (isAgentFrame(f.method) && !agentToo)
            break;
        if (!isObjectConstructor(f.method))
            current.push_back(f);
    }
    equalFrames = 0;
    while (equalFrames < current.size() && equalFrames < previous.size() && sameFrame(current[equalFrames], previous[equalFrames]))
        equalFrames++;
}

bool CallTreeSampler::isSleeping(const std::vector<VmInterface::StackFrame> &frames)
{
    if (frames.empty())
        return false;
    const MethodDesc *innermost = frames.back().method;
    // Thread.sleep itself, or the sleepNanos/sleep0 it runs in on newer JDKs.
    return isClass(innermost, "java.lang.Thread") && strncmp(innermost->getMethodName(), "sleep", 5) == 0;
}

void CallTreeSampler::saveData(long long interval, const std::vector<MethodDesc *> &requests)
{
    if (thread->getIsDead())
        return;
    bool requestsChanged = requests != previousRequests;
    if (requestsChanged)
        equalFrames = 0;
    for (size_t i = previous.size(); i > equalFrames; i--)
        thread->sampledExit(previous[i - 1].method);
    if (requestsChanged) {
        for (size_t i = previousRequests.size(); i > 0; i--)
            thread->sampledExit(previousRequests[i - 1]);
        for (MethodDesc *request : requests)
            thread->methodEntry(request, 0, 0, false, false);
        previousRequests = requests;
    }
    for (size_t i = equalFrames; i < current.size(); i++) {
        // A frame's line is where it is now: its callee's call site.
        uint16_t callSite = i > 0 ? current[i - 1].line : 0;
        thread->methodEntry(current[i].method, callSite, 0, false, false);
    }
    thread->sampleTime(interval, isSleeping(current));
    previous.swap(current);
}
