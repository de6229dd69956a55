// Allocation recording: item ids, per-class counts and the differential
// lists of commands 3 and 4, allocation trees of live and collected objects,
// their views (commands 24, 25, 51, 52) and the heap section of snapshots.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "ByteArrayDataReader.h"
#include "HeapProfilingSession.h"
#include "ProfilingTestSupport.h"

namespace {

// A session whose allocation-tree recording type the test chooses.
class TypedSession : public ProfilingSession {
public:
    int recordingType = 2;
    int getAllocTreeRecordingType() override { return recordingType; }
};

TEST(HeapItemIdsTest, RangesReuseAndStrayIds)
{
    HeapItemIds ids;
    HeapAllocItem *item;
    struct Case {
        bool array, chrono;
        int expected;
    } issued[] = {
        {false, false, -10}, {false, false, -11}, {true, false, 10}, {true, false, 11},
        {false, true, -715827882}, {true, true, 715827882}, {true, true, 715827883},
    };
    for (const Case &c : issued)
        EXPECT_EQ(ids.getNewId(c.array, c.chrono, &item), c.expected) << c.array << c.chrono;
    // Freed ids come back last in, first out.
    EXPECT_TRUE(ids.freeAllocItem(-10));
    EXPECT_TRUE(ids.freeAllocItem(-11));
    EXPECT_EQ(ids.getNewId(false, false, &item), -11);
    EXPECT_EQ(ids.getNewId(false, false, &item), -10);
    EXPECT_EQ(ids.getNewId(false, false, &item), -12);
    // Ids no pool issued, tag 1 among them, belong to no item.
    for (long long stray : {0LL, 1LL, -1LL, 9LL, 12LL, -13LL, 715827884LL, -715827883LL, 1431655764LL, -1431655764LL,
                            4294967306LL}) {
        EXPECT_EQ(ids.getAllocItem(stray), nullptr) << stray;
        EXPECT_FALSE(ids.freeAllocItem(stray)) << stray;
    }
    ASSERT_NE(ids.getAllocItem(715827883), nullptr);
    EXPECT_TRUE(HeapItemIds::isChronoId(715827883));
    EXPECT_FALSE(HeapItemIds::isChronoId(715827881));
}

TEST(HeapItemClassTest, RemovingMoreThanCountedStopsAtZero)
{
    InstancePool<CallStackTree> pool;
    HeapItemClass entry(5, nullptr, &pool);
    entry.addInstance(16);
    entry.removeInstance(16);
    entry.removeInstance(24);
    EXPECT_EQ(entry.getCount(), 0);
    EXPECT_EQ(entry.getSize(), 0);
    entry.addInstance(8);
    entry.removeInstance(100);
    EXPECT_EQ(entry.getCount(), 0);
    EXPECT_EQ(entry.getSize(), 0);
}

class HeapRecordingTest : public testing::Test {
protected:
    HeapRecordingTest() : cls("app/Thing", &classes), other("app/Other", &classes), heap(&profiling, &classes)
    {
        threadRoot = threadPool.getInstance(false);
        threadRoot->initialize(nullptr, nullptr, nullptr, 0);
        mainNode = threadRoot->addChild(method("main"), 0, &threadPool);
        makeNode = mainNode->addChild(method("make"), 7, &threadPool);
        classes.writeClassDescriptions(&discard, true);
        classes.writeMethodDescriptions(&discard, true);
        heap.setChrono(false);
        heap.setAllocRecord(true, true);
    }
    ~HeapRecordingTest() override { threadRoot->freeAll(&threadPool); }

    MethodDesc *method(const char *name)
    {
        MethodDesc *m = new MethodDesc(&cls, name, -1, "()V", -1, &classes, cls.getClassName());
        classes.addMethodDesc(m);
        return m;
    }

    std::vector<unsigned char> heapUsage(int resetCollected)
    {
        std::vector<char> request{static_cast<char>(resetCollected)};
        ByteArrayDataReader reader(request.data(), static_cast<int>(request.size()));
        CharVectorDataWriter w;
        heap.handleCmdHeapUsage(&reader, &w);
        return bytesOf(w);
    }

    TypedSession profiling;
    ClassProfilingSession classes{&profiling};
    ClassData cls;
    ClassData other;
    HeapProfilingSession heap;
    InstancePool<CallStackTree> threadPool;
    CallStackTree *threadRoot;
    CallStackTree *mainNode;
    CallStackTree *makeNode;
    CharVectorDataWriter discard;
};

TEST_F(HeapRecordingTest, HeapUsageListsExactCountsThenOnlyChanges)
{
    long long a = heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    heap.recordAllocation(mainNode, 40, 8, nullptr, 0);
    heap.recordAllocation(mainNode, 3LL << 31, 5, nullptr, 0); // a byte array of 6 GiB
    EXPECT_EQ(a, -10);
    EXPECT_EQ(heapUsage(0), Wire()
                                .byte(1).u2(5).id(nullptr).jlong(1).jlong(3LL << 31)
                                .byte(1).u2(8).id(nullptr).jlong(1).jlong(40)
                                .byte(1).u2(2).id(&cls).jlong(2).jlong(48)
                                .byte(0)
                                .byte(0)
                                .byte(0)
                                .b);
    // Nothing new: each list is its end byte alone.
    EXPECT_EQ(heapUsage(0), Wire().byte(0).byte(0).byte(0).b);
    heap.handleObjectFree(a);
    EXPECT_EQ(heapUsage(0), Wire()
                                .byte(1).u2(2).id(&cls).jlong(1).jlong(24)
                                .byte(0)
                                .byte(1).u2(2).id(&cls).jlong(1).jlong(24)
                                .byte(0)
                                .byte(0)
                                .b);
    // Freeing the same tag again, tag 1 or a stray id changes nothing.
    for (long long tag : {a, 1LL, 99LL, -4000LL})
        heap.handleObjectFree(tag);
    EXPECT_EQ(heapUsage(0), Wire().byte(0).byte(0).byte(0).b);
    // Resetting the collected set sends its entry again with 0.
    EXPECT_EQ(heapUsage(1), Wire().byte(0).byte(1).u2(2).id(&cls).jlong(0).jlong(0).byte(0).byte(0).b);
    int arrays, nonArrays, freed, created;
    heap.getTelemetryData(&arrays, &nonArrays, &freed, &created);
    EXPECT_EQ(arrays, 2);
    EXPECT_EQ(nonArrays, 1);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(created, 4);
}

TEST_F(HeapRecordingTest, NothingIsRecordedWhileOffAndUnrecordedIdsAreIgnoredWhenFreed)
{
    heap.setAllocRecord(false, false);
    EXPECT_EQ(heap.recordAllocation(makeNode, 24, 2, &cls, 0), 0);
    long long classTag = heap.getUnrecordedItemId();
    heap.setAllocRecord(true, false);
    heap.handleObjectFree(classTag);
    EXPECT_EQ(heapUsage(0), Wire().byte(0).byte(0).byte(0).b);
}

// Objects recorded before a reset keep their tags: when they go, the counts
// of what was recorded since stay as they are, and only their ids come back.
TEST_F(HeapRecordingTest, ObjectsRecordedBeforeAResetLeaveTheNewCountsAloneWhenFreed)
{
    long long oldArray = heap.recordAllocation(makeNode, 40, 8, nullptr, 0);
    long long oldObject = heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    ASSERT_EQ(oldArray, 10);
    ASSERT_EQ(oldObject, -10);
    heap.setAllocRecord(false, false);
    heap.setAllocRecord(true, true);
    EXPECT_EQ(heap.recordAllocation(mainNode, 48, 8, nullptr, 0), 11);
    EXPECT_EQ(heap.recordAllocation(mainNode, 24, 2, &cls, 0), -11);
    heap.handleObjectFree(oldArray);
    heap.handleObjectFree(oldObject);
    EXPECT_EQ(heapUsage(0), Wire()
                                .byte(1).u2(8).id(nullptr).jlong(1).jlong(48)
                                .byte(1).u2(2).id(&cls).jlong(1).jlong(24)
                                .byte(0)
                                .byte(0)
                                .byte(0)
                                .b);
    int arrays, nonArrays, freed, created;
    heap.getTelemetryData(&arrays, &nonArrays, &freed, &created);
    EXPECT_EQ(arrays, 1);
    EXPECT_EQ(nonArrays, 1);
    EXPECT_EQ(freed, 0);
    // The objects are gone: their ids are free for new ones.
    EXPECT_EQ(heap.recordAllocation(mainNode, 48, 8, nullptr, 0), 10);
    EXPECT_EQ(heap.recordAllocation(mainNode, 24, 2, &cls, 0), -10);
    EXPECT_EQ(heap.recordAllocation(mainNode, 24, 2, &cls, 0), -12);
}

std::string renderAllocTree(const CallStackTree *root)
{
    return renderTree(root, TreeText::Cpu);
}

TEST_F(HeapRecordingTest, LiveAndCollectedTreesFollowTheAllocatingPaths)
{
    long long a = heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    long long c = heap.recordAllocation(mainNode, 40, 8, nullptr, 0);
    heap.recordAllocation(nullptr, 16, 2, &other, 0); // no node: counted, in no tree
    EXPECT_EQ(renderAllocTree(heap.getLiveTree()), "root 88/3 {main 88/3 {make:7 48/2}}");
    heap.handleObjectFree(c);
    heap.handleObjectFree(a);
    EXPECT_EQ(renderAllocTree(heap.getLiveTree()), "root 24/1 {main 24/1 {make:7 24/1}}");
    EXPECT_EQ(renderAllocTree(heap.getCollectedTree()), "root 64/2 {main 64/2 {make:7 24/1}}");
    // The thread's tree may go: the items keep their paths.
    threadRoot->freeAll(&threadPool);
    threadRoot = threadPool.getInstance(false);
    threadRoot->initialize(nullptr, nullptr, nullptr, 0);
    heap.handleObjectFree(-11);
    EXPECT_EQ(renderAllocTree(heap.getLiveTree()), "root 0/0");
    EXPECT_EQ(renderAllocTree(heap.getCollectedTree()), "root 88/3 {main 88/3 {make:7 48/2}}");
}

TEST_F(HeapRecordingTest, RemovingAnAbsentPathLeavesTheTreeUnchanged)
{
    InstancePool<CallStackTree> pool;
    CallStackTree *root = pool.getInstance(false);
    root->initialize(nullptr, nullptr, nullptr, 0);
    HeapProfilingSession::updateAllocationTree(makeNode, 8, root, false, &pool);
    CallStackTree *elsewhere = mainNode->addChild(method("elsewhere"), 0, &threadPool);
    HeapProfilingSession::updateAllocationTree(elsewhere, 8, root, true, &pool);
    HeapProfilingSession::updateAllocationTree(reinterpret_cast<CallStackTree *>(1), 8, root, false, &pool);
    HeapProfilingSession::updateAllocationTree(threadRoot, 8, root, false, &pool);
    EXPECT_EQ(renderAllocTree(root), "root 8/1 {main 8/1 {make:7 8/1}}");
    root->freeAll(&pool);
}

TEST_F(HeapRecordingTest, TypeThreeKeepsTreesPerClassAndArrayType)
{
    profiling.recordingType = 3;
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    long long arr = heap.recordAllocation(mainNode, 40, 8, nullptr, 0);
    EXPECT_EQ(renderAllocTree(heap.getHeapItemClass(&cls, 0)->getTree()), "root 24/1 {main 24/1 {make:7 24/1}}");
    EXPECT_EQ(renderAllocTree(heap.getArrayItemClass(8, 0)->getTree()), "root 40/1 {main 40/1}");
    heap.handleObjectFree(arr);
    EXPECT_EQ(renderAllocTree(heap.getArrayItemClass(8, 0)->getTree()), "root 0/0");
    EXPECT_EQ(renderAllocTree(heap.getArrayItemClass(8, 1)->getTree()), "root 40/1 {main 40/1}");
}

// The request of commands 24 and 51.
Wire allocationRequest(int recompute, int level, int kind, std::vector<std::pair<int, const void *>> types = {},
                       const std::string &prefix = "")
{
    Wire w;
    w.byte(recompute).u4(static_cast<uint32_t>(level)).u4(static_cast<uint32_t>(kind)).byte(0).u2(0).byte(0);
    w.u4(static_cast<uint32_t>(types.size()));
    for (const auto &t : types)
        w.u2(t.first).id(t.second);
    return w.str(prefix);
}

std::vector<unsigned char> run(void (HeapProfilingSession::*handler)(DataReader *, DataWriter *), HeapProfilingSession &heap,
                               const Wire &request)
{
    std::vector<char> bytes(request.b.begin(), request.b.end());
    ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
    CharVectorDataWriter w;
    (heap.*handler)(&reader, &w);
    return bytesOf(w);
}

TEST_F(HeapRecordingTest, AllocationUpdateSendsTheSelectedTreeAndExpandsItsNodes)
{
    // An expansion before any update answers byte 0.
    EXPECT_EQ(run(&HeapProfilingSession::handleCmdExpandAllocationNode, heap, Wire().u4(10000).u4(0).u2(0)), Wire().byte(0).b);
    long long a = heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    heap.recordAllocation(mainNode, 40, 8, nullptr, 0);
    heap.handleObjectFree(a);
    MethodDesc *mainMethod = mainNode->getMethod();
    MethodDesc *makeMethod = makeNode->getMethod();
    struct Case {
        int kind;
        std::string expected;
    } cases[] = {{1, "main 40/1"}, {2, "main 24/1 {make:7 24/1}"}, {3, "main 64/2 {make:7 24/1}"}};
    for (const Case &c : cases) {
        std::vector<unsigned char> reply =
            run(&HeapProfilingSession::handleCmdAllocationUpdate, heap, allocationRequest(1, 0, c.kind).u4(10000).u4(0));
        EXPECT_GT(reply.size(), 4u) << c.kind;
        // Expanding the first-level node gives its subtree as the front end saw it.
        std::vector<unsigned char> node = run(&HeapProfilingSession::handleCmdExpandAllocationNode, heap,
                                              Wire().u4(10000).u4(0).u2(1).id(mainMethod).u2(0));
        EXPECT_NE(node, Wire().byte(0).b) << c.kind;
        std::vector<unsigned char> missing = run(&HeapProfilingSession::handleCmdExpandAllocationNode, heap,
                                                 Wire().u4(10000).u4(0).u2(1).id(makeMethod).u2(7));
        EXPECT_EQ(missing, Wire().byte(0).b) << c.kind;
    }
}

TEST_F(HeapRecordingTest, RecordingTypeOneWithCollectedObjectsSendsAnEmptyTree)
{
    profiling.recordingType = 1;
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    std::vector<unsigned char> reply =
        run(&HeapProfilingSession::handleCmdAllocationUpdate, heap, allocationRequest(1, 0, 2).u4(10000).u4(0));
    std::vector<unsigned char> empty =
        run(&HeapProfilingSession::handleCmdAllocationUpdate, heap, allocationRequest(1, 0, 2).u4(10000).u4(0));
    EXPECT_EQ(reply, empty);
    EXPECT_EQ(renderAllocTree(heap.getLiveTree()), "root 0/0");
}

TEST_F(HeapRecordingTest, HotspotsSumSelfAllocationsAndExpandOne)
{
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    heap.recordAllocation(mainNode, 40, 8, nullptr, 0);
    // Without a view tree: byte 0, JLong 0.
    EXPECT_EQ(run(&HeapProfilingSession::handleCmdExpandAllocationHotspotNode, heap, Wire().u4(10000).u4(0).u2(0)),
              std::vector<unsigned char>());
    std::vector<unsigned char> reply = run(&HeapProfilingSession::handleCmdAllocationHotspotTreeUpdate, heap,
                                           allocationRequest(1, 0, 1).byte(0).byte(0));
    Wire expected;
    expected.byte(1)
        .byte(1).byte(2).byte(0).id(makeNode->getMethod()).u2(0).jlong(48).u4(2)
        .byte(1).byte(2).byte(0).id(mainNode->getMethod()).u2(0).jlong(40).u4(1)
        .byte(0).id(nullptr).u2(0).jlong(0).u4(0)
        .jlong(88);
    expectPrefix(reply, expected);
    std::vector<unsigned char> expanded = run(&HeapProfilingSession::handleCmdExpandAllocationHotspotNode, heap,
                                              Wire().u4(10000).u4(0).u2(1).id(makeNode->getMethod()).u2(0));
    EXPECT_NE(expanded, Wire().byte(0).b);
    EXPECT_EQ(run(&HeapProfilingSession::handleCmdExpandAllocationHotspotNode, heap,
                  Wire().u4(10000).u4(0).u2(1).id(&cls).u2(0)),
              Wire().byte(0).b);
}

TEST_F(HeapRecordingTest, HeapSectionReadsBackAsWritten)
{
    heap.recordAllocation(mainNode, 40, 8, nullptr, 0);
    heap.recordAllocation(mainNode, 40, 8, nullptr, 0);
    long long gone = heap.recordAllocation(makeNode, 16, 11, nullptr, 0);
    heap.handleObjectFree(gone);
    CharVectorDataWriter w;
    heap.write(&w, false);
    std::vector<unsigned char> written = bytesOf(w);
    // Set 0: the int arrays with their tree; set 1: the double array; set 2 empty without a VM.
    Wire setZeroStart;
    setZeroStart.byte(1).u2(8).id(nullptr).jlong(2).jlong(80).byte(1);
    expectPrefix(written, setZeroStart);

    TypedSession loaded;
    ClassProfilingSession loadedClasses(&loaded);
    HeapProfilingSession into(&loaded, &loadedClasses);
    std::vector<char> bytes(written.begin(), written.end());
    ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
    reader.enableIDUpdate(false, 8);
    ASSERT_TRUE(into.read(&reader, 36, false));
    CharVectorDataWriter again;
    into.write(&again, false);
    std::vector<unsigned char> rewritten = bytesOf(again);
    // IDs were read untranslated: the loaded session writes the same section.
    EXPECT_EQ(rewritten, written);
}

// A heap section of a session that built live-object trees from the heap:
// no lists, the live objects (node, class, type, size), no tree copies.
Wire liveOnlySection(const void *make, const void *main, const void *cls, const void *other)
{
    Wire w;
    w.byte(0).byte(0).byte(0).byte(1);
    w.byte(1).id(make).id(cls).u2(2).u4(24);
    w.byte(1).id(make).id(cls).u2(2).u4(24);
    w.byte(1).id(main).id(nullptr).u2(8).u4(40);
    w.byte(1).id(nullptr).id(other).u2(2).u4(99); // no allocation path: in no tree
    return w.byte(0).byte(0).byte(0);
}

TEST_F(HeapRecordingTest, LiveObjectsOfALoadedSnapshotWaitInAPrivateFileAndBuildLiveOnlyTrees)
{
    std::string dir = testing::TempDir() + "liveonly" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    setenv("TMPDIR", dir.c_str(), 1);
    Wire section = liveOnlySection(makeNode, mainNode, &cls, &other);
    std::vector<char> bytes(section.b.begin(), section.b.end());
    TypedSession loaded;
    loaded.recordingType = 1;
    ClassProfilingSession loadedClasses(&loaded);
    {
        HeapProfilingSession into(&loaded, &loadedClasses);
        ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
        reader.enableIDUpdate(false, 8);
        ASSERT_TRUE(into.read(&reader, 36, false));
        const HeapLiveOnlyFile &file = into.getLiveOnlyFile();
        EXPECT_EQ(file.getCount(), 4);
        ASSERT_EQ(file.getPath().rfind(dir + "/ovr", 0), 0u) << file.getPath();
        struct stat st;
        ASSERT_EQ(stat(file.getPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 4 * 24);
        // A record: node, class, U2 type, two bytes 0, U4 size, in host order.
        std::vector<unsigned char> stored(24);
        FILE *f = fopen(file.getPath().c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fread(stored.data(), 1, 24, f), 24u);
        fclose(f);
        Wire first;
        first.id(makeNode).id(&cls).byte(2).byte(0).byte(0).byte(0).byte(24).byte(0).byte(0).byte(0);
        EXPECT_EQ(stored, first.b);

        struct Case {
            const char *what;
            Wire request;
            Wire hotspots;
        } cases[] = {
            {"every object", allocationRequest(1, 0, 1),
             Wire().byte(1).byte(1).byte(2).byte(0).id(makeNode->getMethod()).u2(0).jlong(48).u4(2)
                 .byte(1).byte(2).byte(0).id(mainNode->getMethod()).u2(0).jlong(40).u4(1)
                 .byte(0).id(nullptr).u2(0).jlong(0).u4(0).jlong(88)},
            {"the class", allocationRequest(1, 0, 1, {{2, &cls}}),
             Wire().byte(1).byte(1).byte(2).byte(0).id(makeNode->getMethod()).u2(0).jlong(48).u4(2)
                 .byte(0).id(nullptr).u2(0).jlong(0).u4(0).jlong(48)},
            {"int arrays", allocationRequest(1, 0, 1, {{8, nullptr}}),
             Wire().byte(1).byte(1).byte(2).byte(0).id(mainNode->getMethod()).u2(0).jlong(40).u4(1)
                 .byte(0).id(nullptr).u2(0).jlong(0).u4(0).jlong(40)},
            {"a prefix", allocationRequest(1, 0, 1, {}, "app/Th"),
             Wire().byte(1).byte(1).byte(2).byte(0).id(makeNode->getMethod()).u2(0).jlong(48).u4(2)
                 .byte(0).id(nullptr).u2(0).jlong(0).u4(0).jlong(48)},
            {"collected objects", allocationRequest(1, 0, 2), Wire().byte(1).byte(0).id(nullptr).u2(0).jlong(0).u4(0).jlong(0)},
        };
        for (Case &c : cases) {
            SCOPED_TRACE(c.what);
            expectPrefix(run(&HeapProfilingSession::handleCmdAllocationHotspotTreeUpdate, into, c.request.byte(0).byte(0)), c.hotspots);
        }
    }
    // Nothing is left behind.
    EXPECT_EQ(system(("rmdir '" + dir + "'").c_str()), 0) << "the file went with its session";

    // Without a place for the file the records are read past, logged, and no tree has them.
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    HeapProfilingSession nowhere(&loaded, &loadedClasses);
    ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
    reader.enableIDUpdate(false, 8);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(nowhere.read(&reader, 36, false));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Could not get temp file name. Please check your TMP and TMPDIR environment variables."), std::string::npos) << log;
    EXPECT_EQ(nowhere.getLiveOnlyFile().getCount(), 0);
    expectPrefix(run(&HeapProfilingSession::handleCmdAllocationHotspotTreeUpdate, nowhere, allocationRequest(1, 0, 1).byte(0).byte(0)),
                 Wire().byte(1).byte(0).id(nullptr).u2(0).jlong(0).u4(0).jlong(0));
    unsetenv("TMPDIR");
}

} // namespace
