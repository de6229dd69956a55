// The store of dead threads' trees: a dead thread's trees move to a private
// temporary file and come back unchanged for the views; when no file can be
// made the trees stay in memory, a line says why and the VM goes on. The
// call sites of probe payloads are found in stored trees too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "ByteArrayDataReader.h"
#include "CallTreeView.h"
#include "ProbeData.h"
#include "ProfilingTestSupport.h"
#include "Registry.h"

namespace {

class DeadThreadStoreTest : public CpuSessionTest {
protected:
    DeadThreadStoreTest() : CpuSessionTest("app.Dead", settings()) {}

    static CpuProfilingSession::Settings settings()
    {
        CpuProfilingSession::Settings s;
        s.stackSize = 64;
        return s;
    }

    void SetUp() override
    {
        const char *old = getenv("TMPDIR");
        hadTmpdir = old != nullptr;
        oldTmpdir = old != nullptr ? old : "";
        char pattern[] = "/tmp/deadstoreXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        if (hadTmpdir)
            setenv("TMPDIR", oldTmpdir.c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::string command = "rm -rf '" + dir + "'";
        (void)system(command.c_str());
    }

    // A thread that ran main -> a twice and main -> b, then ended.
    LiveThreadManager *deadThread()
    {
        int32_t main = method("main"), a = method("a"), b = method("b");
        cpu.setCpuRecord(true, true);
        LiveThreadManager *t = cpu.createThreadManager();
        vm.now = 0;
        vm.stack = {{desc(main), 0}};
        cpu.agentMethodEntry(t, main, 0, false, false, true);
        vm.stack.clear();
        enter(t, a, 100);
        leave(t, a, 150);
        enter(t, a, 200);
        leave(t, a, 260);
        enter(t, b, 300);
        leave(t, b, 400);
        t->setIsDead(500);
        return t;
    }

    // The call tree of all threads (command 41) as the front end reads it,
    // as text with the children of each node in method order.
    std::string callTreeView()
    {
        Wire request = Wire().byte(1).u4(0).u2(0).byte(0).u2(0).u4(0).u4(1).u4(10000).u4(0);
        ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
        CharVectorDataWriter w;
        cpu.handleCmdInvocationTreeUpdate(&reader, &w, &classes);
        std::vector<unsigned char> bytes = bytesOf(w);
        CallTreeReply reply;
        EXPECT_TRUE(CallTreeView::readInvocationTreeReply(std::vector<uint8_t>(bytes.begin(), bytes.end()), sizeof(void *), &registry,
                                                          &reply));
        return reply.root != nullptr ? text(*reply.root) : std::string("none");
    }

    std::string text(const ViewNode &node)
    {
        std::vector<std::string> children;
        for (const auto &c : node.children)
            children.push_back(text(*c));
        std::sort(children.begin(), children.end());
        std::string s = registry.describe(node.method) + " " + std::to_string(node.value) + "/" + std::to_string(node.count);
        for (const std::string &c : children)
            s += " {" + c + "}";
        return s;
    }

    Registry registry;

    std::string dir;
    std::string oldTmpdir;
    bool hadTmpdir = false;
};

TEST_F(DeadThreadStoreTest, StoredTreesComeBackUnchangedForTheViews)
{
    setenv("TMPDIR", dir.c_str(), 1);
    LiveThreadManager *t = deadThread();
    std::string before = renderTree(t->getCallStackTree(false), TreeText::Cpu);
    std::string view = callTreeView();

    cpu.storeDeadThreads();
    EXPECT_TRUE(t->isSwappedOut());
    EXPECT_GE(t->getStoreOffset(), 0);
    // The file has no name left to find: nothing stays in the directory.
    std::string listing = "ls -A '" + dir + "' | grep -q .";
    EXPECT_NE(system(listing.c_str()), 0) << "the store leaves no file behind in " << dir;

    // A view reads the trees back and stores them again.
    EXPECT_EQ(callTreeView(), view);
    EXPECT_TRUE(t->isSwappedOut()) << "stored again after the view";
    EXPECT_EQ(callTreeView(), view) << "a second read gives the same";
    // Storing again writes nothing new for a thread already stored.
    long long offset = t->getStoreOffset();
    cpu.storeDeadThreads();
    EXPECT_EQ(t->getStoreOffset(), offset);
    EXPECT_FALSE(before.empty());
}

TEST_F(DeadThreadStoreTest, WithoutATemporaryDirectoryTheTreesStayInMemory)
{
    std::string missing = dir + "/missing";
    setenv("TMPDIR", missing.c_str(), 1);
    LiveThreadManager *t = deadThread();
    std::string before = renderTree(t->getCallStackTree(false), TreeText::Cpu);
    std::string view = callTreeView();

    testing::internal::CaptureStderr();
    cpu.storeDeadThreads();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Orvane> Could not create temp file " + missing +
                       "/jdcXXXXXX.  Please check your TMP and TMPDIR environment variables.\n");
    EXPECT_FALSE(t->isSwappedOut());
    EXPECT_EQ(t->getStoreOffset(), -1);
    EXPECT_EQ(renderTree(t->getCallStackTree(false), TreeText::Cpu), before);
    EXPECT_EQ(callTreeView(), view);
}

// Command 85 looks for the nodes of probe payloads in the trees of the
// threads the Java side names: a stored thread's tree is read back for it.
TEST_F(DeadThreadStoreTest, ProbeCallSitesOfAStoredThreadAreReadBack)
{
    setenv("TMPDIR", dir.c_str(), 1);
    LiveThreadManager *t = deadThread();
    MethodDesc *probe = desc(method("probe"));
    // A probe call with payload id 7 under main -> b.
    CallStackTree *mainNode = t->getCallStackTree(false)->getFirstChild();
    ASSERT_NE(mainNode, nullptr);
    CallStackTree *bNode = mainNode->getFirstChild();
    for (; bNode != nullptr && std::string(bNode->getMethod()->getMethodName()) != "b"; bNode = bNode->getNextInstance()) {
    }
    ASSERT_NE(bNode, nullptr);
    MethodDesc *main = mainNode->getMethod(), *b = bNode->getMethod();
    bNode->addChild(probe, 0, t->getTreePool())->setAnnotationId(7);
    auto callSites = [&](const std::vector<const void *> &threads) {
        CharVectorDataWriter w;
        bool called = false;
        cpu.withThreadTrees(threads, [&](const std::vector<const CallStackTree *> &roots) {
            called = true;
            ProbeData::writeCallSites(&w, roots, {7});
        });
        EXPECT_TRUE(called);
        return bytesOf(w);
    };
    Wire found;
    found.byte(1).id(nullptr).u2(0).byte(1).id(main).u2(0).byte(1).id(b).u2(0).byte(1).id(probe).u2(0);
    found.byte(0).u4(1).u4(7).byte(0).u4(0).byte(0).u4(0).byte(0).u4(0);
    Wire rootOnly;
    rootOnly.byte(1).id(nullptr).u2(0).byte(0).u4(0);

    cpu.storeDeadThreads();
    ASSERT_TRUE(t->isSwappedOut());
    EXPECT_EQ(callSites({t}), found.b);
    EXPECT_TRUE(t->isSwappedOut()) << "stored again after the look-up";
    EXPECT_EQ(callSites({t}), found.b) << "a second look-up finds the same";
    // A name that is no thread of the session names none.
    int other = 0;
    EXPECT_EQ(callSites({&other}), rootOnly.b);
    EXPECT_EQ(callSites({}), rootOnly.b);
}

} // namespace
