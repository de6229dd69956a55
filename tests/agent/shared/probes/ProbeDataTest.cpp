// The call sites of probe payloads: which node a payload belongs to and the
// tree of call sites that command 85 writes for the ids the Java side names.
#include <gtest/gtest.h>

#include "ProbeData.h"
#include "ProfilingTestSupport.h"

namespace {

class ProbeDataTest : public CpuSessionTest {
protected:
    ProbeDataTest() : CpuSessionTest("app.Probed", settings()) {}

    static CpuProfilingSession::Settings settings()
    {
        CpuProfilingSession::Settings s;
        s.stackSize = 64;
        return s;
    }

    LiveThreadManager *startThread(int32_t outer)
    {
        LiveThreadManager *t = cpu.createThreadManager();
        vm.now = 0;
        vm.stack = {{desc(outer), 0}};
        cpu.agentMethodEntry(t, outer, 0, false, false, true);
        vm.stack.clear();
        return t;
    }

    std::vector<unsigned char> callSites(const std::vector<const CallStackTree *> &roots, const std::set<uint32_t> &ids)
    {
        CharVectorDataWriter w;
        ProbeData::writeCallSites(&w, roots, ids);
        return bytesOf(w);
    }

    InstancePool<CallStackTree> pool;
};

TEST_F(ProbeDataTest, ThePayloadBelongsToTheNearestRecordedCallerNotToFilteredCodeOrTheProbe)
{
    int32_t main = method("main"), library = method("library");
    desc(library)->setIsFiltered(true);
    ClassData probes("_orvane_annotation_class", ClassData::COMPONENT_ANNOTATION);
    MethodDesc probe(&probes, "file", -1, "", -1, &classes, probes.getClassName());
    cpu.setCpuRecord(true, true);
    LiveThreadManager *t = startThread(main);
    CallStackTree *mainNode = t->getCurrentNode();
    vm.now = 100;
    cpu.agentMethodEntry(t, library, 0, true, false, true);
    t->enterProbe(&probe);
    ASSERT_EQ(t->getCurrentNode()->getParent()->getMethod(), desc(library)) << renderTree(t->getCallStackTree(false), TreeText::Cpu);

    long long id = t->probeCallSiteId();
    EXPECT_GT(id, 0);
    EXPECT_EQ(mainNode->getAnnotationId(), id);
    EXPECT_EQ(t->probeCallSiteId(), id) << "the node keeps its id";
    EXPECT_EQ(t->getCurrentNode()->getAnnotationId(), 0) << "the probe node gets none";
    EXPECT_EQ(t->getCurrentNode()->getParent()->getAnnotationId(), 0) << "the filtered node gets none";
    EXPECT_TRUE(t->exitProbe(&probe));

    // A thread whose tree holds no recorded method: no call site.
    LiveThreadManager *bare = cpu.createThreadManager();
    EXPECT_EQ(bare->probeCallSiteId(), 0);
    // Ids come from one counter for all threads.
    LiveThreadManager *other = startThread(main);
    long long second = other->probeCallSiteId();
    EXPECT_GT(second, id);
}

TEST_F(ProbeDataTest, CallSitesOfTheNamedIdsAreMirroredWithTheirPathsAndIds)
{
    MethodDesc *main = desc(method("main")), *reader = desc(method("reader")), *writer = desc(method("writer"));
    CallStackTree *first = pool.getInstance(false);
    first->initialize(nullptr, nullptr, nullptr, 0);
    CallStackTree *firstMain = first->addChild(main, 3, &pool);
    firstMain->addChild(reader, 0, &pool)->setAnnotationId(5);
    firstMain->addChild(writer, 0, &pool)->setAnnotationId(7);
    // A second thread's id with the same low 32 bits lands on the same node.
    CallStackTree *second = pool.getInstance(false);
    second->initialize(nullptr, nullptr, nullptr, 0);
    second->addChild(main, 3, &pool)->addChild(reader, 0, &pool)->setAnnotationId(0x100000005LL);

    Wire expected;
    expected.byte(1).id(nullptr).u2(0);
    expected.byte(1).id(main).u2(3);
    expected.byte(1).id(reader).u2(0);
    expected.byte(0).u4(2).u4(5).u4(5);
    expected.byte(0).u4(0);
    expected.byte(0).u4(0);
    EXPECT_EQ(callSites({first, second}, {5}), expected.b);

    // No id named, or none found: the root alone.
    Wire root;
    root.byte(1).id(nullptr).u2(0).byte(0).u4(0);
    EXPECT_EQ(callSites({first, second}, {}), root.b);
    EXPECT_EQ(callSites({first}, {8}), root.b);
    EXPECT_EQ(callSites({}, {5}), root.b);

    first->freeAll(&pool);
    second->freeAll(&pool);
}

} // namespace
