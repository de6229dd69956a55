// Call-stack trees: value arithmetic, the snapshot and view-update byte
// forms on literal bytes, withheld children, pruning, clearing, traversal
// of very deep trees, and the monitor time values the nodes carry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "AnnotationBytes.h"
#include "ByteArrayDataReader.h"
#include "CallStackTree.h"
#include "CopyTreeVisitor.h"
#include "ProbeNodeIds.h"
#include "CSTMergeVisitor.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "MethodDesc.h"
#include "MonitorTimeValues.h"
#include "ProfilingSession.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Expect {
    Bytes b;
    Expect &byte(int v)
    {
        b.push_back(static_cast<unsigned char>(v));
        return *this;
    }
    Expect &u2(int v) { return byte(v >> 8).byte(v & 0xFF); }
    Expect &u4(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8)
            b.push_back(static_cast<unsigned char>(v >> s));
        return *this;
    }
    Expect &jlong(long long v) { return u4(static_cast<uint32_t>(static_cast<unsigned long long>(v) >> 32)).u4(static_cast<uint32_t>(v)); }
    Expect &id(const void *p)
    {
        unsigned char raw[sizeof p];
        memcpy(raw, &p, sizeof p);
        b.insert(b.end(), raw, raw + sizeof p);
        return *this;
    }
    // The trailer of a node in the view-update form (entry flags 0x2E).
    Expect &trailer(const MethodDesc *m, int line, long long value, uint32_t count)
    {
        return byte(0).id(m).u2(line).jlong(value).u4(count);
    }
};

Bytes bytesOf(CharVectorDataWriter &w)
{
    w.flush();
    return Bytes(w.getBytes().begin(), w.getBytes().end());
}

class CallStackTreeTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 10; i++)
            methods.push_back(new MethodDesc(&cls, ("m" + std::to_string(i)).c_str(), -1, "()V", -1, nullptr, nullptr));
        root = pool.getInstance(false);
        root->initialize(nullptr, nullptr, nullptr, 0);
    }
    void TearDown() override
    {
        root->freeAll(&pool);
        for (MethodDesc *m : methods)
            delete m;
    }
    CallStackTree *add(CallStackTree *parent, int method, int line, long long value, uint32_t count)
    {
        CallStackTree *n = parent->addChild(methods[method], static_cast<uint16_t>(line), &pool);
        n->setValue(value);
        n->setSecondValue(count);
        return n;
    }

    ClassData cls{"p.C", 0};
    std::vector<MethodDesc *> methods;
    InstancePool<CallStackTree> pool;
    CallStackTree *root = nullptr;
};

TEST(MonitorTimeValuesTest, ArithmeticClearAndByteForm)
{
    MonitorTimeValues a;
    a.addBlockingEvent(100, 1);
    a.addWaitingEvent(2000, 2);
    a.addNetIOEvent(30, 3);
    a.setAnnotationId(0x0102030405LL);
    MonitorTimeValues b;
    b.setAnnotationId(9);
    b.add(&a);
    EXPECT_EQ(b.getAnnotationId(), 9) << "add keeps the receiver's annotation id";
    EXPECT_EQ(b.getWaitingTime(), 2000);
    b.clear(false);
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(b.getAnnotationId(), 9);
    b.clear(true);
    EXPECT_EQ(b.getAnnotationId(), 0);
    MonitorTimeValues timeOnly;
    timeOnly.addWaitingEvent(50, 0);
    EXPECT_TRUE(timeOnly.isEmpty()) << "only the counts decide";

    CharVectorDataWriter w;
    a.write(&w);
    Bytes expected = Expect().u4(1).jlong(100).u4(2).jlong(2000).u4(3).jlong(30).jlong(0x0102030405LL).b;
    ASSERT_EQ(bytesOf(w), expected);

    struct Case {
        int version;
        size_t bytes;
        long long netIO, annotation;
    } cases[] = {{6, 24, 0, 0}, {7, 36, 30, 0}, {18, 36, 30, 0}, {19, 44, 30, 0x0102030405LL}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version);
        ByteArrayDataReader r(expected.data(), static_cast<int>(c.bytes));
        MonitorTimeValues read;
        read.read(&r, c.version);
        EXPECT_FALSE(r.getError());
        EXPECT_EQ(r.getPosition(), static_cast<int>(c.bytes));
        EXPECT_EQ(read.getBlockingTime(), 100);
        EXPECT_EQ(read.getWaitingCount(), 2u);
        EXPECT_EQ(read.getNetIOTime(), c.netIO);
        EXPECT_EQ(read.getAnnotationId(), c.annotation);
    }
}

TEST_F(CallStackTreeTest, ChildrenByMethodAndLineAndValuesUpTheAncestors)
{
    CallStackTree *a = root->addChild(methods[1], 5, &pool);
    CallStackTree *b = a->addChild(methods[2], 7, &pool);
    EXPECT_EQ(a->getChild(methods[2], 7), b);
    EXPECT_EQ(a->getChild(methods[2], 8), nullptr);
    CallStackTree *b8 = a->addChild(methods[2], 8, &pool);
    EXPECT_EQ(a->getFirstChild(), b8) << "new children go to the head";
    b->countAndAdd(40, true);
    b8->addValue(5, false);
    EXPECT_EQ(root->getValue(), 40);
    EXPECT_EQ(a->getSecondValue(), 1u);
    EXPECT_EQ(a->getChildrenValue(false), 45);
    b->decreaseAndRemove(10);
    EXPECT_EQ(b->getValue(), 30);
    EXPECT_EQ(b->getSecondValue(), 0u);

    EXPECT_EQ(a->getSingleChild(10), b);
    EXPECT_EQ(a->getSingleChild(0), nullptr) << "two children above the threshold";
    EXPECT_EQ(a->getSingleChild(100), nullptr);
    EXPECT_TRUE(a->hasVisibleChildren(0));
    EXPECT_FALSE(a->hasVisibleChildren(30));
}

// The node a request names: U2 n and n × (ID, U2 line), followed from the root
// or, for a hot spot's backtraces, from the second step on.
TEST_F(CallStackTreeTest, RequestPathsOnLiteralBytesLeadToTheirNodes)
{
    CallStackTree *a = add(root, 1, 5, 0, 0);
    CallStackTree *b = add(a, 2, 7, 0, 0);
    add(a, 2, 8, 0, 0);
    Bytes request = Expect().u2(2).id(methods[1]).u2(5).id(methods[2]).u2(7).byte(0x5A).b;
    ByteArrayDataReader reader(request.data(), static_cast<int>(request.size()));
    CallStackTree::Path path = CallStackTree::readPath(&reader);
    ASSERT_FALSE(reader.getError());
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path[1], std::make_pair(methods[2], static_cast<uint16_t>(7)));
    EXPECT_EQ(reader.readByte(0), 0x5A) << "the path ends where its last line ends";
    EXPECT_EQ(CallStackTree::followPath(root, path, 0), b);
    EXPECT_EQ(CallStackTree::followPath(a, path, 1), b);
    EXPECT_EQ(CallStackTree::followPath(root, {}, 0), root);
    EXPECT_EQ(CallStackTree::followPath(nullptr, path, 0), nullptr);
    CallStackTree::Path elsewhere = {{methods[1], 5}, {methods[2], 9}};
    EXPECT_EQ(CallStackTree::followPath(root, elsewhere, 0), nullptr) << "a line the tree does not have";

    // Cut short: reading stops at the end with the reader's error, which the
    // handlers look at before they follow a path.
    Bytes cut = Expect().u2(3).id(methods[1]).u2(5).id(methods[2]).b;
    ByteArrayDataReader shortReader(cut.data(), static_cast<int>(cut.size()));
    CallStackTree::Path partial = CallStackTree::readPath(&shortReader);
    EXPECT_TRUE(shortReader.getError());
    ASSERT_FALSE(partial.empty());
    EXPECT_LT(partial.size(), 3u);
    EXPECT_EQ(partial[0], std::make_pair(methods[1], static_cast<uint16_t>(5)));
}

TEST_F(CallStackTreeTest, SnapshotFormRoundTripReversesChildOrder)
{
    CallStackTree *a = add(root, 1, 5, 100, 1);
    add(a, 2, 7, 60, 2);
    CallStackTree *c = add(a, 3, 0, 30, 1);
    c->addBlockingTime(12, 1);
    CharVectorDataWriter w;
    int flags = CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_LINE | CallStackTree::ENTRY_VALUE | CallStackTree::ENTRY_COUNT |
                CallStackTree::ENTRY_MONITOR;
    root->write(&w, flags);
    Expect e;
    e.byte(1);                                                      // root
    e.byte(1);                                                      // a
    e.byte(1).byte(0).id(methods[3]).u2(0).jlong(30).u4(1).byte(1); // c, with monitor values
    e.u4(1).jlong(12).u4(0).jlong(0).u4(0).jlong(0).jlong(0);
    e.byte(1).byte(0).id(methods[2]).u2(7).jlong(60).u4(2).byte(0); // b
    e.byte(0).id(methods[1]).u2(5).jlong(100).u4(1).byte(0);        // a's entry
    e.byte(0).id(nullptr).u2(0).jlong(0).u4(0).byte(0);             // root's entry
    Bytes bytes = bytesOf(w);
    ASSERT_EQ(bytes, e.b);

    ByteArrayDataReader r(bytes.data() + 1, static_cast<int>(bytes.size() - 1));
    r.enableIDUpdate(false, static_cast<int>(sizeof(void *)));
    CallStackTree *back = pool.getInstance(false);
    back->initialize(nullptr, nullptr, nullptr, 0);
    back->read(&r, flags | CallStackTree::ENTRY_UPDATE_AT_ONCE, &pool, 36);
    EXPECT_FALSE(r.getError());
    EXPECT_EQ(r.available(), 0);
    CallStackTree *readA = back->getFirstChild();
    ASSERT_NE(readA, nullptr);
    EXPECT_EQ(readA->getMethod(), methods[1]);
    EXPECT_EQ(readA->getLineHint(), 5);
    ASSERT_NE(readA->getFirstChild(), nullptr);
    EXPECT_EQ(readA->getFirstChild()->getMethod(), methods[2]) << "child order reversed";
    CallStackTree *readC = readA->getChild(methods[3], 0);
    ASSERT_NE(readC, nullptr);
    ASSERT_NE(readC->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(readC->getMonitorTimeValues()->getBlockingTime(), 12);
    back->freeAll(&pool);
}

TEST_F(CallStackTreeTest, ViewUpdateFormOnLiteralBytes)
{
    root->setValue(100);
    CallStackTree *a = add(root, 1, 5, 100, 1);
    add(a, 2, 7, 60, 2);
    add(a, 3, 0, 30, 1);
    CharVectorDataWriter w;
    root->writeUpdate(&w, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, false);
    Expect e;
    e.byte(1).byte(1);
    e.byte(1).trailer(methods[3], 0, 30, 1);
    e.byte(1).trailer(methods[2], 7, 60, 2);
    e.trailer(methods[1], 5, 100, 1);
    e.trailer(nullptr, 0, 100, 0);
    EXPECT_EQ(bytesOf(w), e.b);

    // Header first, and a threshold that leaves out the 30 µs child.
    CharVectorDataWriter h;
    root->writeUpdate(&h, 30, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, true);
    Expect eh;
    eh.byte(1).id(nullptr).u2(0);
    eh.byte(1).id(methods[1]).u2(5);
    eh.byte(1).id(methods[2]).u2(7).byte(0);
    eh.byte(0).byte(0);
    EXPECT_EQ(bytesOf(h), eh.b);
}

TEST_F(CallStackTreeTest, ChildrenWithheldByPerMilleShare)
{
    root->setValue(100);
    CallStackTree *a = add(root, 1, 0, 100, 1);
    add(a, 2, 0, 60, 1);
    CallStackTree *c = add(a, 3, 0, 30, 1);
    add(c, 4, 0, 30, 1);

    struct Case {
        const char *name;
        int perMille;
        int maxDepth;
        bool withheld;
    } cases[] = {
        {"share below 400 per mille", 400, 5, true},
        {"share above 250 per mille", 250, 5, false},
        {"no depth limit", 400, CallStackTree::UNLIMITED_DEPTH, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        CharVectorDataWriter w;
        root->writeUpdate(&w, 0, nullptr, 0, k.perMille, k.maxDepth, false);
        Expect e;
        e.byte(1).byte(1);
        e.byte(1); // c
        if (k.withheld)
            e.byte(2);
        else
            e.byte(1).trailer(methods[4], 0, 30, 1);
        e.trailer(methods[3], 0, 30, 1);
        e.byte(1).trailer(methods[2], 0, 60, 1);
        e.trailer(methods[1], 0, 100, 1).trailer(nullptr, 0, 100, 0);
        EXPECT_EQ(bytesOf(w), e.b);
    }

    // A node under a parent of value 0 is never withheld for its share.
    root->setValue(0);
    a->setValue(0);
    CharVectorDataWriter limited;
    root->writeUpdate(&limited, CallStackTree::THRESHOLD_ALL, nullptr, 0, 999, 5, false);
    CharVectorDataWriter unlimited;
    root->writeUpdate(&unlimited, CallStackTree::THRESHOLD_ALL, nullptr, 0, 999, CallStackTree::UNLIMITED_DEPTH, false);
    EXPECT_EQ(bytesOf(limited), bytesOf(unlimited));
}

TEST_F(CallStackTreeTest, ChildrenWithheldBelowTheDepthLimit)
{
    // Branching levels: a, b, f; f's children lie beyond max depth 0 + 2.
    CallStackTree *a = add(root, 1, 0, 10, 1);
    CallStackTree *b = add(a, 2, 0, 10, 1);
    add(a, 3, 0, 10, 1);
    CallStackTree *d = add(b, 4, 0, 10, 1);
    add(b, 5, 0, 10, 1);
    CallStackTree *f = add(d, 6, 0, 10, 1);
    CallStackTree *g = add(f, 7, 0, 10, 1);
    add(f, 8, 0, 10, 1);
    add(g, 9, 0, 10, 1);
    CharVectorDataWriter w;
    root->writeUpdate(&w, 0, nullptr, 0, 0, 0, false);
    Expect e;
    e.byte(1).byte(1);                                     // root, a
    e.byte(1).trailer(methods[3], 0, 10, 1);               // a's second child
    e.byte(1);                                             // b
    e.byte(1).trailer(methods[5], 0, 10, 1);               // e
    e.byte(1).byte(1);                                     // d, f
    e.byte(1).trailer(methods[8], 0, 10, 1);               // h: withheld, nothing to signal
    e.byte(1).byte(2).trailer(methods[7], 0, 10, 1);       // g: withheld children signalled
    e.trailer(methods[6], 0, 10, 1).trailer(methods[4], 0, 10, 1);
    e.trailer(methods[2], 0, 10, 1).trailer(methods[1], 0, 10, 1).trailer(nullptr, 0, 0, 0);
    EXPECT_EQ(bytesOf(w), e.b);
}

TEST_F(CallStackTreeTest, UpdateAgainstAnOldTreeKeepsDepthAndPairsChildren)
{
    CallStackTree *a = add(root, 1, 0, 10, 1);
    add(a, 2, 0, 10, 1);
    CallStackTree *old = pool.getInstance(false);
    old->initialize(nullptr, nullptr, nullptr, 0);
    add(old, 1, 0, 5, 1);
    // With an old tree the single-child rule does not lower max depth, so
    // b at depth 0 stays within max depth 0.
    CharVectorDataWriter w;
    root->writeUpdate(&w, 0, old, 0, 0, 0, false);
    Expect e;
    e.byte(1).byte(1).byte(1).trailer(methods[2], 0, 10, 1).trailer(methods[1], 0, 10, 1).trailer(nullptr, 0, 0, 0);
    EXPECT_EQ(bytesOf(w), e.b);
    old->freeAll(&pool);
}

TEST_F(CallStackTreeTest, PruningAddsTheRemainderWithoutTheUnrecordedNode)
{
    ProfilingSession profiling;
    ClassProfilingSession session(&profiling);
    session.setFilters({"org."}, false);
    ClassData filteredClass("org.x.F", &session);
    MethodDesc filtered(&filteredClass, "f", -1, "()V", -1, &session, "org.x.F");
    MethodDesc filteredToo(&filteredClass, "g", -1, "()V", -1, &session, "org.x.F");
    CallStackTree *f = root->addChild(&filtered, 0, &pool);
    f->setValue(7);
    f->setSecondValue(2);
    CallStackTree *keepF = root->addChild(&filteredToo, 0, &pool);
    add(keepF, 1, 0, 4, 1); // an unfiltered descendant keeps it
    CallStackTree *unrecorded = root->addChild(CallStackTree::unrecordedMethod(), 0, &pool);
    unrecorded->setValue(1000);
    add(root, 2, 0, 3, 1);

    root->removeFilteredFirstLevelNodes(&pool, false, true);
    EXPECT_EQ(root->getChild(&filtered, 0), nullptr);
    EXPECT_EQ(root->getChild(CallStackTree::unrecordedMethod(), 0), nullptr);
    EXPECT_NE(root->getChild(&filteredToo, 0), nullptr);
    EXPECT_NE(root->getChild(methods[2], 0), nullptr);
    CallStackTree *rest = root->getChild(nullptr, 0);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->getValue(), 7);
    EXPECT_EQ(rest->getSecondValue(), 2u);
    EXPECT_EQ(root->getChildrenValue(true), 3 + 4) << "hidden children count through their descendants";
    root->removeChild(rest);
    rest->freeAll(&pool);
    root->removeChild(keepF);
    keepF->freeAll(&pool);
}

TEST_F(CallStackTreeTest, ClearAllKeepsOnlyAnnotatedMonitorRecords)
{
    CallStackTree *a = add(root, 1, 0, 10, 1);
    CallStackTree *b = add(a, 2, 0, 5, 1);
    a->addSleepingTime(3, 1);
    b->setAnnotationId(42);
    b->addBlockingTime(2, 1);
    root->clearAll();
    EXPECT_EQ(a->getValue(), 0);
    EXPECT_EQ(a->getMonitorTimeValues(), nullptr);
    ASSERT_NE(b->getMonitorTimeValues(), nullptr);
    EXPECT_EQ(b->getAnnotationId(), 42);
    EXPECT_TRUE(b->getMonitorTimeValues()->isEmpty());
}

// Counts pre- and post-visits and the deepest level reached.
class CountingVisitor : public CSTVisitor {
public:
    int pre = 0, post = 0, depth = 0, deepest = 0;
    CallStackTree *stopAt = nullptr;
    int preVisit(CallStackTree *node) override
    {
        pre++;
        deepest = std::max(deepest, ++depth);
        return node != stopAt;
    }
    void postVisit(CallStackTree *) override
    {
        post++;
        depth--;
    }
};

TEST_F(CallStackTreeTest, DeepTreesAreWalkedWrittenReadAndFreedWithoutRecursion)
{
    const int levels = 200000; // far beyond any thread stack's recursion depth
    CallStackTree *n = root;
    for (int i = 0; i < levels; i++)
        n = add(n, i % 10, 0, levels - i, 1);
    CountingVisitor v;
    root->depthFirstTraversal(&v);
    EXPECT_EQ(v.pre, levels + 1);
    EXPECT_EQ(v.post, levels + 1);
    EXPECT_EQ(v.deepest, levels + 1);

    CountingVisitor stop;
    stop.stopAt = root->getFirstChild();
    root->depthFirstTraversal(&stop);
    EXPECT_EQ(stop.pre, 2) << "no descent below a refused node";
    EXPECT_EQ(stop.post, 2);

    CharVectorDataWriter w;
    root->write(&w, CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_VALUE);
    Bytes bytes = bytesOf(w);
    ByteArrayDataReader r(bytes.data() + 1, static_cast<int>(bytes.size() - 1));
    r.enableIDUpdate(false, static_cast<int>(sizeof(void *)));
    CallStackTree *copy = pool.getInstance(false);
    copy->initialize(nullptr, nullptr, nullptr, 0);
    copy->read(&r, CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_VALUE | CallStackTree::ENTRY_UPDATE_AT_ONCE, &pool, 36);
    CountingVisitor cv;
    copy->depthFirstTraversal(&cv);
    EXPECT_EQ(cv.pre, levels + 1);

    CharVectorDataWriter u;
    root->writeUpdate(&u, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, true);
    EXPECT_GT(bytesOf(u).size(), static_cast<size_t>(levels) * 2);
    copy->clearAll();
    copy->freeAll(&pool);

    CallStackTree *owned = new CallStackTree();
    CallStackTree *m = owned;
    for (int i = 0; i < levels; i++)
        m = m->addChild(methods[0], 0, &pool);
    delete owned; // deletes the whole chain
}

// "name:line value/count {children in list order}"
std::string render(const CallStackTree *n)
{
    std::string s = n->getMethod() == nullptr ? std::string("-") : n->getMethod()->getMethodName();
    if (n->getLineHint() != 0)
        s += ":" + std::to_string(n->getLineHint());
    s += " " + std::to_string(n->getValue()) + "/" + std::to_string(n->getSecondValue());
    if (n->getMonitorTimeValues() != nullptr && n->getMonitorTimeValues()->getWaitingCount() != 0)
        s += " w=" + std::to_string(n->getMonitorTimeValues()->getWaitingTime());
    if (n->getFirstChild() != nullptr) {
        s += " {";
        for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
            s += (c == n->getFirstChild() ? "" : ", ") + render(c);
        s += "}";
    }
    return s;
}

class CSTMergeVisitorTest : public testing::Test {
protected:
    CSTMergeVisitorTest()
    {
        classes.setFilters({"org."}, false);
        appClass.classMethodDesc = &appClassNode;
        appClass.packageMethodDesc = &appPackageNode;
        for (const char *name : {"main", "a", "b", "app"})
            app.push_back(new MethodDesc(&appClass, name, -1, "()V", -1, &classes, appClass.getClassName()));
        for (const char *name : {"f1", "f2"})
            lib.push_back(new MethodDesc(&libClass, name, -1, "()V", -1, &classes, libClass.getClassName()));
    }
    ~CSTMergeVisitorTest() override
    {
        for (CallStackTree *t : trees)
            t->freeAll(&pool);
        for (MethodDesc *m : app)
            delete m;
        for (MethodDesc *m : lib)
            delete m;
    }
    CallStackTree *tree()
    {
        CallStackTree *t = pool.getInstance(false);
        t->initialize(nullptr, nullptr, nullptr, 0);
        trees.push_back(t);
        return t;
    }
    CallStackTree *add(CallStackTree *parent, MethodDesc *m, long long value, uint32_t count)
    {
        CallStackTree *n = parent->addChild(m, 0, &pool);
        n->setValue(value);
        n->setSecondValue(count);
        return n;
    }
    std::string merge(const std::vector<CallStackTree *> &sources, int level, int kind)
    {
        CallStackTree *target = tree();
        for (CallStackTree *source : sources) {
            CSTMergeVisitor v;
            v.initialize(&profiling, target, &pool, level, false, kind);
            source->depthFirstTraversal(&v);
        }
        return render(target);
    }

    ProfilingSession profiling;
    ClassProfilingSession classes{&profiling};
    ClassData cumulation{"_orvane_cumul_class", ClassData::COMPONENT_CUMULATION};
    ClassData appClass{"p.App", &classes};
    ClassData libClass{"org.lib.L", &classes};
    MethodDesc appClassNode{&cumulation, "p.App", -1, "()V", -1, nullptr, nullptr};
    MethodDesc appPackageNode{&cumulation, "p", -1, "()V", -1, nullptr, nullptr};
    std::vector<MethodDesc *> app;
    std::vector<MethodDesc *> lib;
    InstancePool<CallStackTree> pool;
    std::vector<CallStackTree *> trees;
};

TEST_F(CSTMergeVisitorTest, ThreadsAddUpInOneTree)
{
    CallStackTree *t1 = tree();
    add(add(t1, app[0], 100, 1), app[1], 60, 2);
    CallStackTree *t2 = tree();
    CallStackTree *main2 = add(t2, app[0], 50, 1);
    add(main2, app[1], 10, 1);
    add(main2, app[2], 20, 1)->addSleepingTime(5, 1);
    EXPECT_EQ(merge({t1, t2}, 0, CSTMergeVisitor::KIND_CPU), "- 0/0 {main 150/2 {b 20/1, a 70/3}}");
    // Waiting time: the values hold it, for the node and every caller.
    EXPECT_EQ(merge({t1, t2}, 0, CSTMergeVisitor::KIND_WAITING), "- 5/1 {main 5/1 {b 5/1, a 0/0}}");
    EXPECT_EQ(merge({t1, t2}, 0, CSTMergeVisitor::KIND_BLOCKING), "- 0/0 {main 0/0 {b 0/0, a 0/0}}");
    // All states: CPU time and waiting time, with the call counts.
    EXPECT_EQ(merge({t1, t2}, 0, CSTMergeVisitor::KIND_ALL), "- 5/0 {main 155/2 {b 25/1, a 70/3}}");
}

TEST_F(CSTMergeVisitorTest, HiddenChainsCollapseIntoTheirFirstCall)
{
    CallStackTree *t = tree();
    CallStackTree *f1 = add(add(t, app[0], 100, 1), lib[0], 40, 1);
    add(add(f1, lib[1], 30, 1), app[3], 10, 1);
    CallStackTree *onlyLib = add(t, lib[0], 7, 1); // a first-level library call with nothing of ours below
    add(onlyLib, lib[1], 5, 1);
    EXPECT_EQ(merge({t}, 0, CSTMergeVisitor::KIND_CPU), "- 0/0 {main 100/1 {f1 40/1 {app 10/1}}, - 7/1}");
}

TEST_F(CSTMergeVisitorTest, AggregationReplacesMethodsByTheirClassOrPackage)
{
    CallStackTree *t = tree();
    CallStackTree *main = add(t, app[0], 100, 1);
    add(main, app[1], 60, 2);
    add(main, app[2], 20, 1);
    EXPECT_EQ(merge({t}, 1, CSTMergeVisitor::KIND_CPU), "- 0/0 {p.App 100/1}") << "calls inside the class merge into it";
    EXPECT_EQ(merge({t}, 2, CSTMergeVisitor::KIND_CPU), "- 0/0 {p 100/1}");
}

} // namespace

#include "CallTreeHelper.h"

namespace {

TEST(CallTreeHelperTest, LinesOfBytecodeLocations)
{
    const CallTreeHelper::LineEntry table[] = {{0, 10}, {8, 12}, {4, 11}, {20, 15}};
    struct Case {
        long long location;
        int line;
    } cases[] = {{0, 10}, {3, 10}, {4, 11}, {7, 11}, {8, 12}, {19, 12}, {20, 15}, {400, 15}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.location);
        EXPECT_EQ(CallTreeHelper::translateLineNo(table, 4, c.location), c.line) << "the last entry runs to the method's end";
    }
    const CallTreeHelper::LineEntry late[] = {{5, 30}};
    EXPECT_EQ(CallTreeHelper::translateLineNo(late, 1, 2), 0) << "before the first entry";
    EXPECT_EQ(CallTreeHelper::translateLineNo(nullptr, 0, 2), 0);
}

} // namespace

namespace {

// The Java side's annotation bytes as a test sets them: one byte per id
// (its low byte) behind a marker, or nothing for the ids it refuses.
class FakeAnnotationBytes : public AnnotationBytes {
public:
    std::vector<long long> refused;
    std::vector<std::vector<long long>> asked;
    bool getBytes(const std::vector<long long> &ids, std::vector<unsigned char> *bytes) override
    {
        asked.push_back(ids);
        if (ids == refused)
            return false;
        bytes->push_back(0xA5);
        for (long long id : ids)
            bytes->push_back(static_cast<unsigned char>(id));
        return true;
    }
};

} // namespace

TEST_F(CallStackTreeTest, ViewUpdateCarriesTheAnnotationsOfEveryNode)
{
    root->setValue(100);
    CallStackTree *a = add(root, 1, 5, 100, 1);
    CallStackTree *b = add(a, 2, 7, 60, 2);
    CallStackTree *c = add(a, 3, 0, 30, 1);
    AnnotationMap annotations;
    annotations[b] = {0x100000007LL, 9};
    annotations[c] = {4};
    annotations[a]; // an empty vector counts as no ids

    // Header first: U4 n and the low 32 bits of each id; U4 0 without.
    CharVectorDataWriter h;
    root->writeUpdate(&h, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, &annotations, nullptr, true);
    Expect eh;
    eh.byte(1).id(nullptr).u2(0);
    eh.byte(1).id(methods[1]).u2(5);
    eh.byte(1).id(methods[3]).u2(0).byte(0).u4(1).u4(4);
    eh.byte(1).id(methods[2]).u2(7).byte(0).u4(2).u4(7).u4(9);
    eh.byte(0).u4(0);
    eh.byte(0).u4(0);
    EXPECT_EQ(bytesOf(h), eh.b);

    // Entry after the children: the Java side's bytes for a node with ids,
    // four zero bytes for a node without or when the Java side gives none.
    FakeAnnotationBytes javaSide;
    javaSide.refused = {4};
    CharVectorDataWriter w;
    root->writeUpdate(&w, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, &annotations, &javaSide, false);
    Expect e;
    e.byte(1).byte(1);
    e.byte(1).trailer(methods[3], 0, 30, 1).u4(0);
    e.byte(1).trailer(methods[2], 7, 60, 2).byte(0xA5).byte(7).byte(9);
    e.trailer(methods[1], 5, 100, 1).u4(0);
    e.trailer(nullptr, 0, 100, 0).u4(0);
    EXPECT_EQ(bytesOf(w), e.b);
    EXPECT_EQ(javaSide.asked, (std::vector<std::vector<long long>>{{4}, {0x100000007LL, 9}}));

    // Without a Java side every annotated node still gets its four bytes.
    CharVectorDataWriter none;
    root->writeUpdate(&none, 0, nullptr, 0, 0, CallStackTree::UNLIMITED_DEPTH, &annotations, nullptr, false);
    Expect en;
    en.byte(1).byte(1);
    en.byte(1).trailer(methods[3], 0, 30, 1).u4(0);
    en.byte(1).trailer(methods[2], 7, 60, 2).u4(0);
    en.trailer(methods[1], 5, 100, 1).u4(0);
    en.trailer(nullptr, 0, 100, 0).u4(0);
    EXPECT_EQ(bytesOf(none), en.b);
}

TEST_F(CallStackTreeTest, CopyHoldsTheSameNodesAndTheImageOfTheMarkedNode)
{
    root->setValue(90);
    CallStackTree *a = add(root, 1, 5, 90, 3);
    CallStackTree *b = add(a, 2, 7, 60, 2);
    b->addBlockingTime(11, 1);
    b->setAnnotationId(42);
    add(a, 3, 0, 30, 1);
    CopyTreeVisitor copier;
    copier.initialize(&pool, b);
    root->depthFirstTraversal(&copier);
    CallStackTree *copy = copier.getCopy();
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, root);
    CharVectorDataWriter original;
    CharVectorDataWriter copied;
    root->write(&original, 0x3E);
    copy->write(&copied, 0x3E);
    // The copy lists each node's children in the source's order.
    EXPECT_EQ(bytesOf(copied), bytesOf(original));
    ASSERT_NE(copier.getMarkedCopy(), nullptr);
    EXPECT_NE(copier.getMarkedCopy(), b);
    EXPECT_EQ(copier.getMarkedCopy()->getMethod(), methods[2]);
    EXPECT_EQ(copier.getMarkedCopy()->getAnnotationId(), 42);
    EXPECT_EQ(copier.getMarkedCopy()->getParent()->getParent(), copy);
    // Changing the copy leaves the source alone.
    copier.getMarkedCopy()->addValue(5, true);
    copier.getMarkedCopy()->addBlockingTime(1, 1);
    EXPECT_EQ(b->getValue(), 60);
    EXPECT_EQ(root->getValue(), 90);
    EXPECT_EQ(b->getMonitorTimeValues()->getBlockingTime(), 11);
    copy->freeAll(&pool);

    // A subtree copies from its own root; a mark outside it has no image.
    CopyTreeVisitor sub;
    sub.initialize(&pool, root);
    a->depthFirstTraversal(&sub);
    EXPECT_EQ(sub.getCopy()->getMethod(), methods[1]);
    EXPECT_EQ(sub.getCopy()->getParent(), nullptr);
    EXPECT_EQ(sub.getMarkedCopy(), nullptr);
    sub.getCopy()->freeAll(&pool);
}

TEST_F(CallStackTreeTest, ProbeNodeIdsSurviveARebuildAndAreCheckedOnUse)
{
    CallStackTree *a = add(root, 1, 5, 90, 3);
    CallStackTree *b = add(a, 2, 7, 60, 2);
    CallStackTree *c = add(a, 3, 0, 30, 1);
    ProbeNodeIds ids;
    ids.setRoot(root);
    long long idB = ids.idOf(b);
    long long idC = ids.idOf(c);
    EXPECT_NE(idB, 0);
    EXPECT_NE(idB, idC);
    EXPECT_EQ(ids.idOf(b), idB) << "one id per node";
    EXPECT_EQ(ids.lookup(idB), b);
    EXPECT_EQ(ids.lookup(idC), c);
    EXPECT_EQ(ids.idOf(nullptr), 0);

    // The view is rebuilt: the old nodes are freed, the same paths resolve
    // to the new nodes, a path that is gone resolves to nothing.
    CallStackTree *rebuilt = pool.getInstance(false);
    rebuilt->initialize(nullptr, nullptr, nullptr, 0);
    CallStackTree *a2 = add(rebuilt, 1, 5, 1, 1);
    CallStackTree *b2 = add(a2, 2, 7, 1, 1);
    add(a2, 3, 8, 1, 1); // other line: not the old c
    ids.setRoot(rebuilt);
    EXPECT_EQ(ids.lookup(idB), b2);
    EXPECT_EQ(ids.lookup(idC), nullptr);
    EXPECT_EQ(ids.idOf(b2), idB);
    // Nodes of another tree and ids never given out are refused.
    EXPECT_EQ(ids.idOf(b), 0);
    for (long long unknown : {0LL, -1LL, idC + 100, static_cast<long long>(reinterpret_cast<intptr_t>(b2))})
        EXPECT_EQ(ids.lookup(unknown), nullptr) << unknown;
    // Once the Java side dropped its payloads, old ids resolve to nothing
    // and new ones never repeat them.
    ids.clear();
    EXPECT_EQ(ids.lookup(idB), nullptr);
    long long fresh = ids.idOf(b2);
    EXPECT_NE(fresh, idB);
    EXPECT_NE(fresh, idC);
    rebuilt->freeAll(&pool);
}

TEST_F(CallStackTreeTest, MergeGathersAnnotationIdsOnTheTargetNodes)
{
    ProfilingSession session;
    // Two threads' trees: a {b (id 7)}, and a {b (id 9), b:3 (id 7)}.
    CallStackTree *a = add(root, 1, 0, 10, 1);
    add(a, 2, 0, 5, 1)->setAnnotationId(7);
    CallStackTree *other = pool.getInstance(false);
    other->initialize(nullptr, nullptr, nullptr, 0);
    CallStackTree *oa = add(other, 1, 0, 10, 1);
    add(oa, 2, 0, 5, 1)->setAnnotationId(9);
    add(oa, 2, 3, 5, 1)->setAnnotationId(7);

    CallStackTree *target = pool.getInstance(false);
    target->initialize(nullptr, nullptr, nullptr, 0);
    AnnotationMap gathered;
    CSTMergeVisitor merge;
    for (CallStackTree *source : {root, other}) {
        merge.initialize(&session, target, &pool, 0, false, CSTMergeVisitor::KIND_CPU);
        merge.setAnnotations(&gathered, nullptr);
        source->depthFirstTraversal(&merge);
    }
    CallStackTree *tb = target->getChild(methods[1], 0)->getChild(methods[2], 0);
    CallStackTree *tb3 = target->getChild(methods[1], 0)->getChild(methods[2], 3);
    ASSERT_NE(tb, nullptr);
    ASSERT_NE(tb3, nullptr);
    EXPECT_EQ(gathered[tb], (std::vector<long long>{7, 9}));
    EXPECT_EQ(gathered[tb3], (std::vector<long long>{7}));
    EXPECT_EQ(tb->getAnnotationId(), -1);
    EXPECT_EQ(gathered.count(target->getChild(methods[1], 0)), 0u);

    // A class-level merge takes the gathered vectors, each id once.
    CallStackTree *byClass = pool.getInstance(false);
    byClass->initialize(nullptr, nullptr, nullptr, 0);
    AnnotationMap classLevel;
    merge.initialize(&session, byClass, &pool, 0, false, CSTMergeVisitor::KIND_CPU);
    merge.setAnnotations(&classLevel, &gathered);
    target->depthFirstTraversal(&merge);
    EXPECT_EQ(classLevel[byClass->getChild(methods[1], 0)->getChild(methods[2], 0)], (std::vector<long long>{7, 9}));
    for (CallStackTree *t : {other, target, byClass})
        t->freeAll(&pool);
}
