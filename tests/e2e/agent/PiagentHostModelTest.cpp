// jvmpihost plays the VM faithfully for piagent: its system threads are
// threads of the VM with a JNIEnv, thread statuses follow the monitor events,
// an application's raw monitors have their own step, unloaded classes leave
// the VM and class objects that move take their class id along.
#include "PiagentHost.h"

#include "CallTreeView.h"
#include "HeapDumpFile.h"
#include "Registry.h"
#include "WireReader.h"

#include <algorithm>

namespace {

const std::string SAMPLING = "<config><session id=\"3\" instrumentationType=\"3\" samplingFrequency=\"5\"/></config>";

using PiagentHostModelTest = PiagentConnectedTest;

// The host's lines after `mark` that are exactly `line`.
size_t countAfter(const std::string &all, const std::string &mark, const std::string &line)
{
    std::vector<std::string> seen = lines(all);
    auto from = std::find(seen.begin(), seen.end(), mark);
    return from == seen.end() ? 0 : static_cast<size_t>(std::count(from, seen.end(), line));
}

// The sampler thread asks the VM for the class of a method it meets first in
// a trace (it has a JNIEnv); a thread that contends, waits or enters an
// application's raw monitor is no longer runnable, so its trace is not read.
TEST_F(PiagentHostModelTest, SamplerThreadHasAJniEnvAndBlockedThreadsAreNotSampled)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({"await:cpu-on", "quiet-class:0x200:demo/Other:other/()V=0x21", "thread:1:main",
                                            "thread:2:blocked", "thread:3:waiting", "thread:4:raw", "stack:1:0x21@5",
                                            "stack:2:0x21@6", "stack:3:0x21@7", "stack:4:0x21@8", "contend:2:0x5000",
                                            "wait:3:0x6000", "raw-enter:4:appLock", "mark:blocked", "await:done", "shut-down"},
                                           SAMPLING));
    ASSERT_TRUE(waitForLine("stdout", "host: CreateSystemThread _orvane_native_sampler 10")) << out();
    Reply reply;
    ASSERT_EQ(client.call(38, {1, 0, 0, 0, 0}, &reply), FrontendClient::OK) << client.lastError();
    touch("cpu-on");
    ASSERT_TRUE(waitForLine("stdout", "host: mark blocked")) << out();
    // Two cycles after the threads blocked.
    for (int i = 0; i < 3000 && countAfter(out(), "host: mark blocked", "host: GetCallTrace 1") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(countAfter(out(), "host: mark blocked", "host: GetCallTrace 1"), 2u) << out();
    for (const char *line : {"host: GetCallTrace 2", "host: GetCallTrace 3", "host: GetCallTrace 4"})
        EXPECT_EQ(countAfter(out(), "host: mark blocked", line), 0u) << line;

    // The method of the class the VM never announced is in the sampled tree.
    EXPECT_FALSE(linesStartingWith(out(), "host: GetMethodClass 0x21").empty()) << out();
    Registry registry;
    CallTreeReply tree;
    ASSERT_EQ(client.call(41, CallTreeView::invocationTreeRequest(0, 1, 10000, 0), &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(CallTreeView::readInvocationTreeReply(reply.body, client.idWidth(), &registry, &tree));
    ASSERT_NE(tree.root, nullptr);
    EXPECT_FALSE(nodesNamed(*tree.root, registry, "other").empty()) << CallTreeView::format(*tree.root, registry);
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// An unloaded class is gone from the VM: a later event of its method finds
// no class to load again. A class object that moved dumps under its new id,
// with its instance.
TEST_F(PiagentHostModelTest, UnloadAndMoveChangeTheVmsClasses)
{
    ASSERT_NO_FATAL_FAILURE(startConnected({"await:go", "class:0x200:demo/Gone:gone/()V=0x21", "class:0x300:demo/Moved",
                                            "thread:1:main", "alloc:1:0x5000:0x300:16", "unload:0x200", "enter:1:0x21",
                                            "exit:1:0x21", "move:0x300:0x380", "mark:played", "await:done", "shut-down"},
                                           ""));
    Reply reply;
    ASSERT_EQ(client.call(49, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    touch("go");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 42").size(), 0u) << out();

    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 0, 1}, &reply), FrontendClient::OK) << client.lastError();
    WireReader in(reply.body);
    ASSERT_EQ(in.readU4(), 1u);
    int64_t size = in.readJLong();
    ASSERT_GT(size, 0);
    std::vector<uint8_t> bytes = in.readBytes(static_cast<size_t>(size));
    in.readU4();
    Registry registry;
    ASSERT_TRUE(registry.readMethods(in, client.idWidth()));
    ASSERT_TRUE(registry.readClasses(in, client.idWidth()));
    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(bytes, client.idWidth(), &dump, &error)) << error;
    ASSERT_EQ(dump.classes.size(), 1u) << describeHeapDump(dump);
    ASSERT_EQ(dump.objects.size(), 1u) << describeHeapDump(dump);
    const ClassInfo *moved = registry.classOf(dump.objects[0].classId);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->name, "demo.Moved");
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 42").size(), 0u) << out();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

} // namespace
