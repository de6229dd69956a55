// The method graph, back traces and the expansions of the call-tree and
// hotspot views, on literal bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ByteArrayDataReader.h"
#include "CSTBacktraceVisitor.h"
#include "CSTMethodGraphVisitor.h"
#include "CallStackTree.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "PayloadHotspots.h"
#include "ProfilingSession.h"
#include "ProfilingTestSupport.h"
#include "VmInterface.h"

namespace {

class CpuViewsTest : public CpuSessionTest {
protected:
    CpuViewsTest() : CpuSessionTest("p.V")
    {
        for (const char *name : {"main", "a", "b", "c"}) {
            ids.push_back(method(name));
            methods.push_back(desc(ids.back()));
        }
    }
    ~CpuViewsTest() override { root->freeAll(&pool); }

    CallStackTree *add(CallStackTree *parent, int method, long long value, uint32_t count)
    {
        CallStackTree *n = parent->addChild(methods[static_cast<size_t>(method)], 0, &pool);
        n->setValue(value);
        n->setSecondValue(count);
        return n;
    }
    // main 600/1 {a 200/1 {c 100/1}, b 300/1 {c 200/1 {c 50/1}}}; b comes
    // first in main's child list (new children go to the head).
    void buildTree()
    {
        CallStackTree *main = add(root, 0, 600, 1);
        CallStackTree *a = add(main, 1, 200, 1);
        add(a, 3, 100, 1);
        CallStackTree *b = add(main, 2, 300, 1);
        CallStackTree *c = add(b, 3, 200, 1);
        add(c, 3, 50, 1);
    }
    // The same calls recorded by a thread: a 100-300 {c 150-250}, b
    // 400-700 {c 450-650}.
    void recordThread()
    {
        cpu.setCpuRecord(true, false);
        LiveThreadManager *t = cpu.createThreadManager();
        t->setInstrumentationRecord(true);
        vm.stack = {{methods[0], 0}};
        cpu.agentMethodEntry(t, ids[0], 0, false, false, true);
        vm.stack.clear();
        struct Event {
            bool entry;
            int method;
            long long at;
        } events[] = {{true, 1, 100}, {true, 3, 150}, {false, 3, 250}, {false, 1, 300},
                      {true, 2, 400}, {true, 3, 450}, {false, 3, 650}, {false, 2, 700}};
        for (const Event &e : events) {
            vm.now = e.at;
            if (e.entry)
                cpu.agentMethodEntry(t, ids[static_cast<size_t>(e.method)], 0, false, false, true);
            else
                cpu.agentMethodExit(t, ids[static_cast<size_t>(e.method)], false);
        }
    }
    // The common part of a view request: regenerate, level 0, all threads,
    // no selection, no old path, no annotation, value kind 1.
    static Wire commonPart() { return Wire().byte(1).u4(0).u2(0).byte(0).u2(0).u4(0).u4(1); }

    std::vector<MethodDesc *> methods;
    std::vector<int32_t> ids;
    InstancePool<CallStackTree> pool;
    CallStackTree *root = []() {
        CallStackTree *r = new CallStackTree();
        r->initialize(nullptr, nullptr, nullptr, 0);
        return r;
    }();
};

TEST_F(CpuViewsTest, MethodGraphOnLiteralBytes)
{
    buildTree();
    CSTMethodGraphVisitor graph;
    root->depthFirstTraversal(&graph);
    CharVectorDataWriter w;
    graph.write(&w);
    MethodDesc *main = methods[0], *a = methods[1], *b = methods[2], *c = methods[3];
    Wire expected;
    // Edges in order of first appearance: main, b, c, c, a, c.
    expected.byte(1).id(main).id(b).jlong(300).u4(1);
    expected.byte(1).id(b).id(c).jlong(200).u4(1);
    expected.byte(1).id(c).id(c).jlong(50).u4(1);
    expected.byte(1).id(main).id(a).jlong(200).u4(1);
    expected.byte(1).id(a).id(c).jlong(100).u4(1);
    expected.byte(0);
    // Totals: the recursive c counts once in the total, its self time in full.
    expected.byte(1).id(main).jlong(600).jlong(100).u4(1);
    expected.byte(1).id(b).jlong(300).jlong(100).u4(1);
    expected.byte(1).id(c).jlong(300).jlong(300).u4(3);
    expected.byte(1).id(a).jlong(200).jlong(100).u4(1);
    expected.byte(0);
    EXPECT_EQ(bytesOf(w), expected.b);
}

TEST_F(CpuViewsTest, BacktracesMirrorTheCallersOfEveryNodeOfTheMethod)
{
    buildTree();
    struct Case {
        const char *name;
        bool self;
        // values of: b<-main under c, c(recursive)<-b<-main, a<-main
        long long viaB, viaC, viaA;
    } cases[] = {{"whole values", false, 200, 50, 100}, {"self times", true, 150, 50, 100}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        CallStackTree *top = pool.getInstance(false);
        top->initialize(nullptr, nullptr, methods[3], 0);
        CSTBacktraceVisitor backtraces;
        backtraces.initialize(top, &pool, methods[3], k.self, false, k.self);
        root->depthFirstTraversal(&backtraces);
        CallStackTree *viaB = top->getChild(methods[2], 0);
        CallStackTree *viaC = top->getChild(methods[3], 0);
        CallStackTree *viaA = top->getChild(methods[1], 0);
        ASSERT_NE(viaB, nullptr);
        ASSERT_NE(viaC, nullptr);
        ASSERT_NE(viaA, nullptr);
        EXPECT_EQ(viaB->getValue(), k.viaB);
        EXPECT_EQ(viaC->getValue(), k.viaC);
        EXPECT_EQ(viaA->getValue(), k.viaA);
        ASSERT_NE(viaB->getChild(methods[0], 0), nullptr) << "the callers up to the first node without method";
        EXPECT_EQ(viaB->getChild(methods[0], 0)->getValue(), k.viaB);
        EXPECT_EQ(viaB->getChild(methods[0], 0)->getFirstChild(), nullptr) << "the root is not mirrored";
        ASSERT_NE(viaC->getChild(methods[2], 0), nullptr);
        EXPECT_EQ(viaA->getSecondValue(), 1u);
        top->freeAll(&pool);
    }
}

TEST_F(CpuViewsTest, ExpandingNodesOfTheLastCallTreeView)
{
    recordThread();
    Wire request = commonPart();
    request.u4(10000).u4(0);
    ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
    CharVectorDataWriter update;
    cpu.handleCmdInvocationTreeUpdate(&reader, &update, &classes);

    struct Case {
        const char *name;
        Wire path;
        Wire reply;
    };
    std::vector<Case> cases;
    cases.push_back({"main, a", Wire().u4(10000).u4(0).u2(2).id(methods[0]).u2(0).id(methods[1]).u2(0),
                     Wire().byte(1).byte(1).ending(methods[3], 0, 100, 1).ending(methods[1], 0, 200, 1).u4(1)});
    cases.push_back({"a path that leaves the tree", Wire().u4(10000).u4(0).u2(2).id(methods[0]).u2(0).id(methods[0]).u2(0),
                     Wire().byte(0).u4(1)});
    // a holds 333 per mille of main: its child is withheld at 400.
    cases.push_back({"per-mille share withholds", Wire().u4(10).u4(400).u2(1).id(methods[0]).u2(0),
                     Wire()
                         .byte(1)
                         .byte(1)
                         .byte(2)
                         .ending(methods[1], 0, 200, 1)
                         .byte(1)
                         .byte(1)
                         .ending(methods[3], 0, 200, 1)
                         .ending(methods[2], 0, 300, 1)
                         .ending(methods[0], 0, 600, 0)
                         .u4(1)});
    cases.push_back({"a single child is shown at depth 0", Wire().u4(0).u4(0).u2(2).id(methods[0]).u2(0).id(methods[2]).u2(0),
                     Wire().byte(1).byte(1).ending(methods[3], 0, 200, 1).ending(methods[2], 0, 300, 1).u4(1)});
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        ByteArrayDataReader expand(c.path.b.data(), static_cast<int>(c.path.b.size()));
        CharVectorDataWriter reply;
        cpu.handleCmdExpandInvocationNode(&expand, &reply);
        EXPECT_EQ(bytesOf(reply), c.reply.b);
    }
}

TEST_F(CpuViewsTest, HotspotBacktracesAreWrittenAndExpanded)
{
    recordThread();
    // Sorted hotspots with full back traces.
    Wire request = commonPart();
    request.byte(0).u4(0).byte(1).byte(1);
    ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
    CharVectorDataWriter hotspots;
    cpu.handleCmdHotspotTreeUpdate(&reader, &hotspots, &classes);
    // c: self 300 in two calls, first; its back traces via b (200) and a (100).
    Wire expected;
    expected.byte(1);
    expected.byte(1);
    expected.byte(1).byte(1).trailer(methods[0], 0, 200, 1).trailer(methods[2], 0, 200, 1);
    expected.byte(1).byte(1).trailer(methods[0], 0, 100, 1).trailer(methods[1], 0, 100, 1);
    expected.trailer(methods[3], 0, 300, 2);
    std::vector<unsigned char> reply = bytesOf(hotspots);
    expectPrefix(reply, expected);

    struct Case {
        const char *name;
        Wire path;
        Wire reply;
    };
    std::vector<Case> cases;
    cases.push_back({"c via b", Wire().u4(10000).u4(0).u2(2).id(methods[3]).u2(0).id(methods[2]).u2(0),
                     Wire().byte(1).byte(1).trailer(methods[0], 0, 200, 1).trailer(methods[2], 0, 200, 1)});
    cases.push_back({"path leaves the back traces", Wire().u4(10000).u4(0).u2(2).id(methods[3]).u2(0).id(methods[3]).u2(0),
                     Wire().byte(0)});
    cases.push_back({"empty path: nothing at all", Wire().u4(10000).u4(0).u2(0), Wire()});
    cases.push_back({"unknown method", Wire().u4(10000).u4(0).u2(1).id(&cls).u2(0), Wire().byte(0)});
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        ByteArrayDataReader expand(c.path.b.data(), static_cast<int>(c.path.b.size()));
        CharVectorDataWriter out;
        cpu.handleCmdExpandHotspotNode(&expand, &out);
        EXPECT_EQ(bytesOf(out), c.reply.b);
    }
}

TEST_F(CpuViewsTest, MethodGraphCommandOverTheRecordedThread)
{
    recordThread();
    Wire request = commonPart();
    ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
    CharVectorDataWriter w;
    cpu.handleCmdMethodGraph(&reader, &w, &classes);
    std::vector<unsigned char> reply = bytesOf(w);
    // The edges in the order the walk meets them, a 0; each method's total,
    // self time and calls in the same order, a 0; then the descriptions.
    Wire graph = Wire()
                     .byte(1).id(methods[0]).id(methods[1]).jlong(200).u4(1)
                     .byte(1).id(methods[1]).id(methods[3]).jlong(100).u4(1)
                     .byte(1).id(methods[0]).id(methods[2]).jlong(300).u4(1)
                     .byte(1).id(methods[2]).id(methods[3]).jlong(200).u4(1)
                     .byte(0)
                     .byte(1).id(methods[0]).jlong(600).jlong(100).u4(0)
                     .byte(1).id(methods[1]).jlong(200).jlong(100).u4(1)
                     .byte(1).id(methods[3]).jlong(300).jlong(300).u4(2)
                     .byte(1).id(methods[2]).jlong(300).jlong(100).u4(1)
                     .byte(0);
    ASSERT_GE(reply.size(), graph.b.size());
    EXPECT_EQ(std::vector<unsigned char>(reply.begin(), reply.begin() + (long)graph.b.size()), graph.b);
}

TEST_F(CpuViewsTest, MethodGraphOfABrokenRequestIsEmpty)
{
    recordThread();
    Wire whole = commonPart();
    struct Case {
        const char *name;
        size_t length; // bytes of the request that arrive
    } cases[] = {{"no request at all", 0}, {"half a request", whole.b.size() / 2}, {"all but one byte", whole.b.size() - 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ByteArrayDataReader reader(whole.b.data(), static_cast<int>(c.length));
        CharVectorDataWriter w;
        cpu.handleCmdMethodGraph(&reader, &w, &classes);
        std::vector<unsigned char> reply = bytesOf(w);
        // No edge and no method: the two terminators, then the (possibly empty) descriptions.
        ASSERT_GE(reply.size(), 2u);
        EXPECT_EQ(reply[0], 0);
        EXPECT_EQ(reply[1], 0);
    }
}

TEST_F(CpuViewsTest, CallTracerRecordsEntriesAndExitsFromTheThreadsStack)
{
    struct Case {
        const char *name;
        uint32_t cap;
        size_t records; // method records written
    } cases[] = {{"room for all", 100, 9}, {"a cap of three", 3, 2}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(cpu.setTraceRecord(true, false, true, k.cap));
        EXPECT_TRUE(cpu.isRecording()) << "the tracer switches recording on";
        LiveThreadManager *t = cpu.createThreadManager();
        t->setInstrumentationRecord(true);
        vm.now = 0;
        vm.stack = {{methods[0], 0}};
        cpu.agentMethodEntry(t, ids[0], 0, false, false, true);
        struct Event {
            bool entry;
            int method;
            long long at;
        } events[] = {{true, 1, 100}, {true, 3, 150}, {false, 3, 250}, {false, 1, 300},
                      {true, 2, 400}, {true, 3, 450}, {false, 3, 650}, {false, 2, 700}};
        for (const Event &e : events) {
            vm.now = e.at;
            // The first traced event finds main and a on the VM's stack.
            vm.stack = {{methods[0], 0}, {methods[1], 0}};
            if (e.entry)
                cpu.agentMethodEntry(t, ids[static_cast<size_t>(e.method)], 0, false, false, true);
            else
                cpu.agentMethodExit(t, ids[static_cast<size_t>(e.method)], false);
        }
        CharVectorDataWriter w;
        cpu.handleCmdGetTraces(&w, &classes);
        Wire all;
        all.u4(static_cast<uint32_t>(k.records));
        const std::pair<int, long long> expected[] = {{0, 100}, {1, 100}, {3, 150}, {3, -250}, {1, -300},
                                                      {2, 400}, {3, 450}, {3, -650}, {2, -700}};
        for (size_t i = 0; i < k.records; i++)
            all.id(t).id(methods[static_cast<size_t>(expected[i].first)]).jlong(expected[i].second);
        all.u4(1).u4(0); // the start record stood before the first
        expectPrefix(bytesOf(w), all);

        // Only what came since: a thread already started has no new start record.
        vm.now = 800;
        cpu.agentMethodEntry(t, ids[1], 0, false, false, true);
        CharVectorDataWriter again;
        cpu.handleCmdGetTraces(&again, &classes);
        Wire since;
        if (k.cap > 1)
            since.u4(1).id(t).id(methods[1]).jlong(800).u4(0);
        else
            since.u4(0).u4(0);
        expectPrefix(bytesOf(again), since);
        vm.stack.clear();
    }
    // Switched off: no more records; the front end learns that data came.
    ASSERT_TRUE(cpu.setTraceRecord(false, false, false, 100));
    EXPECT_TRUE(cpu.hasNewCallTracerData());
    EXPECT_FALSE(cpu.hasNewCallTracerData());
}

TEST_F(CpuViewsTest, TracesBeforeTheTracerEverRanAreEmpty)
{
    CharVectorDataWriter w;
    cpu.handleCmdGetTraces(&w, &classes);
    expectPrefix(bytesOf(w), Wire().u4(0).u4(0));
    CpuProfilingSession::Settings sampling;
    sampling.collectionMethod = 3;
    cpu.updateSettings(sampling);
    EXPECT_FALSE(cpu.setTraceRecord(true, false, true, 10)) << "tracing needs instrumentation";
}

} // namespace

namespace {

// The Java side's probe hotspots as a test sets them: it keeps the payloads
// it is given and answers one hotspot made of every payload node.
class FakePayloadHotspots : public PayloadHotspots {
public:
    struct Payload {
        std::string probe;
        long long node;
        std::vector<long long> ids;
    };
    std::vector<Payload> payloads;
    int resets = 0;
    std::vector<long long> unrecorded;
    bool unrecordedAll = false;
    std::vector<long long> extraNodes; // origins that name nodes it never got
    void reset(bool) override
    {
        resets++;
        payloads.clear();
    }
    void addPayload(const std::string &probe, long long nodeId, const std::vector<long long> &ids) override
    {
        payloads.push_back(Payload{probe, nodeId, ids});
    }
    void addUnrecorded(const std::string &, const std::vector<long long> &threads, bool all) override
    {
        unrecorded = threads;
        unrecordedAll = all;
    }
    bool getHotspotRootsBytes(int valueKind, std::vector<unsigned char> *bytes) override
    {
        *bytes = {0xAB, static_cast<unsigned char>(valueKind)};
        return true;
    }
    // Hotspot 0: the payload with id 5 (time 100, count 2), the one with id
    // 6 as a negative count (40, -1), then the extra nodes.
    bool getHotspotOrigins(int hotspot, int, Origins *origins) override
    {
        if (hotspot != 0)
            return false;
        for (const Payload &p : payloads) {
            origins->nodes.push_back(p.node);
            origins->times.push_back(p.ids == std::vector<long long>{5} ? 100 : 40);
            origins->counts.push_back(p.ids == std::vector<long long>{5} ? 2 : -1);
        }
        for (long long n : extraNodes) {
            origins->nodes.push_back(n);
            origins->times.push_back(7);
            origins->counts.push_back(1);
        }
        return true;
    }
};

} // namespace

TEST_F(CpuViewsTest, ProbeHotspotsAnswerBackTracesOfTheNodesTheJavaSideNames)
{
    ClassData probes("probe.Url", ClassData::COMPONENT_ANNOTATION);
    MethodDesc *url = new MethodDesc(&probes, "url", -1, "()V", -1, &classes, nullptr);
    classes.addMethodDesc(url);
    // A thread: main {a {url (payload 5)}, b {url (payload 6)}}.
    LiveThreadManager *t = cpu.createThreadManager();
    InstancePool<CallStackTree> *threadPool = t->getTreePool();
    CallStackTree *main = t->getCallStackTree(false)->addChild(methods[0], 0, threadPool);
    main->setValue(500);
    CallStackTree *a = main->addChild(methods[1], 0, threadPool);
    a->setValue(300);
    a->addChild(url, 0, threadPool)->setAnnotationId(5);
    CallStackTree *b = main->addChild(methods[2], 0, threadPool);
    b->setValue(100);
    b->addChild(url, 0, threadPool)->setAnnotationId(6);

    FakePayloadHotspots javaSide;
    javaSide.extraNodes = {0, 987654};
    cpu.setPayloadHotspots(&javaSide);
    auto ask = [&](bool regenerate, uint32_t level) {
        Wire request;
        request.byte(regenerate ? 1 : 0).u4(level).u2(1).id(t).byte(0).u2(0).u4(0).u4(1);
        request.str("url").u4(2).u4(0).u4(3);
        ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
        CharVectorDataWriter w;
        cpu.handleCmdAnnotationHotspotUpdate(&reader, &w, &classes);
        return bytesOf(w);
    };
    // Two back-trace trees per hotspot, in snapshot form (flags 0x2E).
    Wire expected;
    expected.byte(0xAB).byte(1);
    expected.byte(1).u4(0);
    expected.byte(1).byte(1).byte(1).byte(0).id(methods[0]).u2(0).jlong(100).u4(2);
    expected.byte(0).id(methods[1]).u2(0).jlong(100).u4(2).byte(0).id(nullptr).u2(0).jlong(0).u4(0);
    expected.byte(1).byte(1).byte(1).byte(0).id(methods[0]).u2(0).jlong(40).u4(1);
    expected.byte(0).id(methods[2]).u2(0).jlong(40).u4(1).byte(0).id(nullptr).u2(0).jlong(0).u4(0);
    // An unknown hotspot: two empty trees.
    expected.byte(1).u4(3).byte(1).byte(0).id(nullptr).u2(0).jlong(0).u4(0).byte(1).byte(0).id(nullptr).u2(0).jlong(0).u4(0);
    expected.byte(0);

    std::vector<unsigned char> first = ask(true, 0);
    expectPrefix(first, expected);
    EXPECT_EQ(javaSide.resets, 1);
    ASSERT_EQ(javaSide.payloads.size(), 2u);
    for (const auto &p : javaSide.payloads) {
        EXPECT_EQ(p.probe, "url");
        EXPECT_NE(p.node, 0);
        EXPECT_NE(p.node, static_cast<long long>(reinterpret_cast<intptr_t>(a))) << "no node address crosses to Java";
    }
    EXPECT_EQ(javaSide.unrecorded, (std::vector<long long>{static_cast<long long>(reinterpret_cast<intptr_t>(t))}));
    EXPECT_FALSE(javaSide.unrecordedAll);

    // Without regenerating, the view is built anew (its old nodes freed);
    // the ids the Java side kept still name the same calls.
    std::vector<unsigned char> again = ask(false, 0);
    EXPECT_EQ(javaSide.resets, 1) << "the Java side keeps its payloads";
    expectPrefix(again, expected);

    // At class level the old paths are gone: the kept ids name nothing and
    // the trees are empty rather than built from freed nodes.
    std::vector<unsigned char> byClass = ask(false, 1);
    Wire empty;
    empty.byte(0xAB).byte(1).byte(1).u4(0);
    empty.byte(1).byte(0).id(nullptr).u2(0).jlong(0).u4(0).byte(1).byte(0).id(nullptr).u2(0).jlong(0).u4(0);
    expectPrefix(byClass, empty);

    // Without a Java side: two zero bytes and empty trees.
    cpu.setPayloadHotspots(nullptr);
    Wire none;
    none.byte(0).byte(0).byte(1).u4(0);
    expectPrefix(ask(true, 0), none);
}
