#ifndef KVR_TESTS_AGENT_PROFILINGTESTSUPPORT_H
#define KVR_TESTS_AGENT_PROFILINGTESTSUPPORT_H

// What the recording and view tests share: a VM with a clock and stacks the
// test sets, bytes written the way the agent writes them, literal call trees
// and a CPU profiling session over one class.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "CallStackTree.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "MethodDesc.h"
#include "MonitorTimeValues.h"
#include "ProfilingSession.h"
#include "LiveThreadManager.h"
#include "VmInterface.h"

// The VM as the test sets it: the time, the current thread's stack and,
// when `givesThreadStacks`, the stacks of other threads.
class FakeVm : public VmInterface {
public:
    long long now = 0;
    std::vector<StackFrame> stack;
    bool givesThreadStacks = false;
    std::vector<std::pair<void *, std::vector<StackFrame>>> threadStacks;
    bool givesContendedMonitors = false;
    std::vector<ContendedMonitor> contendedMonitors;
    bool getContendedMonitors(const std::vector<void *> &, std::vector<ContendedMonitor> *out) override
    {
        *out = contendedMonitors;
        return givesContendedMonitors;
    }
    bool givesThreadStates = false;
    std::vector<std::pair<void *, int>> threadStates;

    // How often the agent read the clock.
    int clockReads = 0;
    long long getUsec() override
    {
        clockReads++;
        return now;
    }
    long long getCurrentThreadCpuUsec() override { return -1; }
    // How often the calling thread's stack was read.
    int stackReads = 0;
    bool getStackTrace(std::vector<StackFrame> *out) override
    {
        stackReads++;
        *out = stack;
        return true;
    }
    // The engine ended the VM: the test sees the reason thrown.
    struct Ended {
        VmEnd reason;
    };
    [[noreturn]] void endVm(VmEnd reason) override { throw Ended{reason}; }
    // The hooks' switch as the session last set it.
    int hooksSwitched = 0;
    bool hooksRecording = false;
    void setHooksRecording(bool on) override
    {
        hooksSwitched++;
        hooksRecording = on;
    }
    bool getThreadStacks(const std::vector<void *> &threads, std::vector<std::vector<StackFrame>> *stacks) override
    {
        if (!givesThreadStacks)
            return false;
        stacks->clear();
        for (void *t : threads) {
            stacks->emplace_back();
            for (const auto &entry : threadStacks) {
                if (entry.first == t)
                    stacks->back() = entry.second;
            }
        }
        return true;
    }
    bool getThreadStates(const std::vector<void *> &threads, std::vector<int> *states) override
    {
        if (!givesThreadStates)
            return false;
        states->clear();
        for (void *t : threads) {
            states->push_back(0);
            for (const auto &entry : threadStates) {
                if (entry.first == t)
                    states->back() = entry.second;
            }
        }
        return true;
    }
    // The requests in progress, by Java-side thread manager.
    std::map<void *, std::vector<long long>> threadRequests;
    bool getThreadRequests(const std::vector<void *> &managers, std::vector<std::vector<long long>> *requests) override
    {
        requests->clear();
        for (void *m : managers) {
            auto found = threadRequests.find(m);
            requests->push_back(found != threadRequests.end() ? found->second : std::vector<long long>());
        }
        return true;
    }
};

// Bytes of a request or of an expected reply, big-endian as on the wire.
struct Wire {
    std::vector<unsigned char> b;
    Wire &byte(int v)
    {
        b.push_back(static_cast<unsigned char>(v));
        return *this;
    }
    Wire &u2(int v) { return byte(v >> 8).byte(v & 0xFF); }
    Wire &u4(uint32_t v) { return u2(static_cast<int>(v >> 16)).u2(static_cast<int>(v & 0xFFFF)); }
    Wire &jlong(long long v) { return u4(static_cast<uint32_t>(static_cast<unsigned long long>(v) >> 32)).u4(static_cast<uint32_t>(v)); }
    Wire &id(const void *p)
    {
        unsigned char raw[sizeof p];
        memcpy(raw, &p, sizeof p);
        b.insert(b.end(), raw, raw + sizeof p);
        return *this;
    }
    Wire &str(const std::string &s)
    {
        u2(static_cast<int>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    // MonitorTimeValues::write
    Wire &times(uint32_t bc, long long bt, uint32_t wc, long long wt, uint32_t nc, long long nt, long long annotation)
    {
        return u4(bc).jlong(bt).u4(wc).jlong(wt).u4(nc).jlong(nt).jlong(annotation);
    }
    // The end of a node in the view-update form: byte 0 and its entry.
    Wire &trailer(const void *m, int line, long long value, uint32_t count) { return byte(0).id(m).u2(line).jlong(value).u4(count); }
    Wire &trailer(const void *m, long long value, uint32_t count) { return trailer(m, 0, value, count); }
    // The end of a node in a call-tree reply (commands 41 and 9): the
    // trailer and the node's probe annotations, four zero bytes for none.
    Wire &ending(const void *m, int line, long long value, uint32_t count) { return trailer(m, line, value, count).u4(0); }
    Wire &ending(const void *m, long long value, uint32_t count) { return ending(m, 0, value, count); }
};

inline std::vector<unsigned char> bytesOf(CharVectorDataWriter &w)
{
    w.flush();
    return std::vector<unsigned char>(w.getBytes().begin(), w.getBytes().end());
}

// The start of `reply` is `expected`.
inline void expectPrefix(const std::vector<unsigned char> &reply, const Wire &expected)
{
    ASSERT_GE(reply.size(), expected.b.size());
    EXPECT_EQ(std::vector<unsigned char>(reply.begin(), reply.begin() + static_cast<long>(expected.b.size())), expected.b);
}

// How renderTree spells a node. Cpu: "name:line value/count [w=waiting
// b=blocking]"; Monitor: "name value/count [w=time/count b=.. n=..]".
enum class TreeText { Cpu, Monitor };

// A tree as one line: the node, then "{children in list order}".
inline std::string renderTree(const CallStackTree *n, TreeText text)
{
    std::string s = n->getMethod() == nullptr ? std::string("root") : n->getMethod()->getMethodName();
    if (text == TreeText::Cpu && n->getLineHint() != 0)
        s += ":" + std::to_string(n->getLineHint());
    s += " " + std::to_string(n->getValueWithOpenTime()) + "/" + std::to_string(n->getSecondValue());
    if (const MonitorTimeValues *t = n->getMonitorTimeValues()) {
        auto times = [text](long long time, uint32_t count) {
            return std::to_string(time) + (text == TreeText::Monitor ? "/" + std::to_string(count) : std::string());
        };
        if (t->getWaitingCount() != 0)
            s += " w=" + times(t->getWaitingTime(), t->getWaitingCount());
        if (t->getBlockingCount() != 0)
            s += " b=" + times(t->getBlockingTime(), t->getBlockingCount());
        if (text == TreeText::Monitor && t->getNetIOCount() != 0)
            s += " n=" + times(t->getNetIOTime(), t->getNetIOCount());
    }
    if (n->getFirstChild() != nullptr) {
        s += " {";
        for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            s += (c == n->getFirstChild() ? "" : ", ") + renderTree(c, text);
        s += "}";
    }
    return s;
}

// A CPU profiling session on the fake VM, with the methods of one class.
class CpuSessionTest : public testing::Test {
protected:
    explicit CpuSessionTest(const char *className,
                            const CpuProfilingSession::Settings &settings = CpuProfilingSession::Settings())
        : cls(className, &classes), cpu(&profiling, &vm, settings)
    {
    }

    // A new method `name` ()V of the class, by its handle.
    int32_t method(const char *name)
    {
        MethodDesc *m = new MethodDesc(&cls, name, -1, "()V", -1, &classes, cls.getClassName());
        classes.addMethodDesc(m);
        return cpu.getMethodHandles().getHandle(m);
    }
    MethodDesc *desc(int32_t id) { return cpu.getMethodHandles().lookup(id); }

    long long enter(LiveThreadManager *t, int32_t id, long long at, uint16_t line = 0)
    {
        vm.now = at;
        return cpu.agentMethodEntry(t, id, line, false, false, true);
    }
    long long leave(LiveThreadManager *t, int32_t id, long long at)
    {
        vm.now = at;
        return cpu.agentMethodExit(t, id, false);
    }

    ProfilingSession profiling;
    ClassProfilingSession classes{&profiling};
    ClassData cls;
    FakeVm vm;
    CpuProfilingSession cpu;
};

#endif
