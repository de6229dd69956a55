#ifndef AGENT_CALLTREESAMPLER_H
#define AGENT_CALLTREESAMPLER_H

#include <cstddef>
#include <vector>

#include "VmInterface.h"

class LiveThreadManager;
class MethodDesc;

// The sampled call tree of one thread: each pass hands over the thread's
// stack, the frames that changed since the previous pass are left and the
// new ones entered on the thread's recording, and the pass's interval goes
// to the innermost node (as waiting time while the thread sleeps). Runs on
// the sampler thread under the thread monitor; the sampled thread sends no
// method events of its own meanwhile.
class CallTreeSampler {
public:
    explicit CallTreeSampler(LiveThreadManager *thread) : thread(thread) {}

    // The stack of this pass, outermost first: how many frames, from the
    // outermost, equal the previous pass's (same method and line). On the
    // application's main thread (LiveThreadManager::isAgentMainThread, or the
    // pre-made manager of the VM's main thread, isPremadeMain) the
    // frames begin at the frame of its main: the method of the first frame
    // named "main" met on that thread, kept from then on.
    void setData(const std::vector<VmInterface::StackFrame> &frames);
    // Applies the pass: exits for the previous frames no longer there
    // (innermost first), entries for the new ones (outermost first, each
    // with the line of its call site), then `interval` microseconds on the
    // innermost node. Frames of the agent's own classes cut the stack;
    // Object.<init> is left out. Nothing for a dead thread.
    // `requests` are the methods of the requests in progress on the thread
    // (outermost first): they stand above the frames, and when they differ
    // from the previous pass's the whole stack is left and entered again
    // under the new ones.
    void saveData(long long interval, const std::vector<MethodDesc *> &requests = std::vector<MethodDesc *>());
    // True when the innermost frame sleeps (Thread.sleep and the methods the
    // newer JDKs sleep in).
    static bool isSleeping(const std::vector<VmInterface::StackFrame> &frames);
    LiveThreadManager *getThread() const { return thread; }

private:
    LiveThreadManager *thread;
    std::vector<VmInterface::StackFrame> current;
    std::vector<VmInterface::StackFrame> previous;
    size_t equalFrames = 0;
    std::vector<MethodDesc *> previousRequests;
    // The main thread's main, once met.
    const MethodDesc *mainMethod = nullptr;
};

#endif
