// Runs of jvmpihost that go wrong on purpose: a library that leaves the
// collector disabled fails the run; piagent ignores input the VM should not
// send, logs it and goes on serving; a VM that never delivers a heap dump
// gets exactly 100 requests; allocations of the largest sizes add up.
#include "PiagentHost.h"

#include <algorithm>

#include "HeapDumpFile.h"
#include "HeapView.h"
#include "Registry.h"
#include "WireReader.h"

namespace {

using PiagentHostRunTest = PiagentHostTest;

TEST_F(PiagentHostRunTest, RunThatLeavesTheCollectorDisabledFails)
{
    agentLibrary = GC_AGENT_PATH;
    // A JVM without the agent's Java classes: nothing binds natives of this library.
    classPath = work;
    struct Case {
        const char *calls; // DisableGC, EnableGC
        int status;
        const char *said;
    };
    const Case cases[] = {
        {"0,0", 0, ""},
        {"2,2", 0, ""},
        {"1,0", 3, "jvmpihost: DisableGC and EnableGC unbalanced (1)\n"},
        {"3,1", 3, "jvmpihost: DisableGC and EnableGC unbalanced (2)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.calls);
        start({"--options", c.calls, "init-done", "shut-down"});
        EXPECT_EQ(finish(), c.status) << err();
        EXPECT_EQ(err(), c.said);
    }
}

// Hex of a pointer-wide id in host order (8 bytes, little-endian here).
std::string hexId(uint64_t id)
{
    std::string text;
    char pair[3];
    for (int i = 0; i < 8; i++) {
        snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>((id >> (8 * i)) & 0xff));
        text += pair;
    }
    return text;
}

TEST_F(PiagentHostRunTest, InputTheVmShouldNotSendIsIgnoredWithALogAndTheSessionGoesOn)
{
    ASSERT_EQ(sizeof(void *), 8u);
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    // An instance of demo.Thing without values, then a record cut after its tag and two bytes.
    const std::string heapBytes = "21" + hexId(0x5000) + hexId(0x100) + "00000000" + "210060";
    // A Java monitor record that ends after its object.
    const std::string monitorBytes = "01" + hexId(0x5000);
    start({"--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "java-comm", "init-done", "await:go",
           "class:0x100:demo/Thing:run/()V=0x11", "thread:1:main",
           "event:99", "event:0x10000063",        // types nobody enabled, plain and requested
           "enter:1:0x77", "exit:1:0x77",          // a method id the VM knows no class for
           "thread-end:9",                         // a thread that never started
           "unload:0x999", "free:0x4444", "move:0x4444:0x5555", // ids never announced
           "alloc:1:0x6000:0x300:16",              // a class id never announced
           "alloc:1:0x5000:0x100:16",
           "heap-bytes:" + heapBytes, "monitor-bytes:" + monitorBytes,
           "mark:played", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, port));
    Reply reply;
    ASSERT_EQ(client.call(49, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    touch("go");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();

    // The dump keeps the instance before the cut record.
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 1, 1}, &reply), FrontendClient::OK) << client.lastError();
    WireReader in(reply.body);
    ASSERT_EQ(in.readU4(), 1u);
    int64_t size = in.readJLong();
    ASSERT_GT(size, 0);
    std::vector<uint8_t> bytes = in.readBytes(static_cast<size_t>(size));
    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(bytes, client.idWidth(), &dump, &error)) << error;
    ASSERT_EQ(dump.objects.size(), 1u) << describeHeapDump(dump);
    EXPECT_EQ(dump.objects[0].type, 2);
    EXPECT_TRUE(waitForLine("stderr", "Orvane> heap dump records cut short or unknown: the rest is skipped")) << err();

    // The cut monitor dump gives no entries: the list's end byte comes first.
    ASSERT_EQ(client.call(36, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_FALSE(reply.body.empty());
    EXPECT_EQ(reply.body[0], 0);
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 59").size(), 1u) << out();

    // Still served: the ID width.
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();

    // What was ignored is in the agent's debug log.
    std::string log = readFile(work + "/orvane.debug.out");
    for (const char *line : {"no class for method id 0x77", "end of an unknown thread ignored",
                             "monitor dump cut short: the records read are kept"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    // The requested event of an unknown type is named by its plain type.
    size_t first = log.find("event of type 99 ignored\n");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("event of type 99 ignored\n", first + 1), std::string::npos) << log;
}

TEST_F(PiagentHostRunTest, HeapDumpThatNeverComesIsGivenUpAfterExactlyOneHundredRequests)
{
    loopbackSocket::PortReservation held;
    int port = held.port;
    ASSERT_NE(port, 0);
    start({"--no-heap-dump", "--options", "port=" + std::to_string(port) + ",address=127.0.0.1", "java-comm", "init-done",
           "class:0x100:demo/Thing", "thread:1:main", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, port));
    Reply reply;
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 1, 1}, &reply), FrontendClient::OK) << client.lastError();
    // No dump: U4 0.
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(linesStartingWith(out(), "host: RequestEvent 37").size(), 100u);
    EXPECT_NE(err().find("Orvane> The VM delivered no heap dump after 100 requests.\n"), std::string::npos) << err();
    // Asked again for the last dump, it still has none.
    ASSERT_EQ(client.call(7, {0, 0, 0, 0, 0, 0, 1, 0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 0}));
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// Allocations of the largest size a VM can report add up in the heap view
// past 32 bits, and the session goes on serving.
TEST_F(PiagentHostRunTest, HugeAllocationSizesAddUpWithoutWrapping)
{
    loopbackSocket::PortReservation held;
    start({"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm", "init-done", "await:go",
           "class:0x100:demo/Thing", "thread:1:main", "alloc:1:0x5000:0x100:2147483647", "alloc:1:0x5100:0x100:2147483647",
           "alloc:1:0x5200:0x100:2147483647", "alloc:1:0x5300:0x100:0", "free:0x5100", "mark:played", "await:done", "shut-down"});
    FrontendClient client(60000);
    ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, held.port));
    Reply reply;
    ASSERT_EQ(client.call(49, {1}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(waitForLine("stdout", "host: EnableEvent 5")) << out();
    touch("go");
    ASSERT_TRUE(waitForLine("stdout", "host: mark played")) << out() << err();
    ASSERT_EQ(client.call(3, {0}, &reply), FrontendClient::OK) << client.lastError();
    Registry registry;
    HeapUsageReply usage;
    ASSERT_TRUE(HeapView::readHeapUsageReply(reply.body, client.idWidth(), &registry, &usage));
    auto entryOf = [&](const std::vector<HeapEntry> &entries) {
        for (const HeapEntry &e : entries) {
            const ClassInfo *c = registry.classOf(e.classId);
            if (c != nullptr && c->name == "demo.Thing")
                return std::pair<int64_t, int64_t>{e.count, e.size};
        }
        return std::pair<int64_t, int64_t>{-1, -1};
    };
    EXPECT_EQ(entryOf(usage.live), (std::pair<int64_t, int64_t>{3, 2LL * 2147483647LL}));
    EXPECT_EQ(entryOf(usage.collected), (std::pair<int64_t, int64_t>{1, 2147483647LL}));
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    touch("done");
    client.close();
    ASSERT_EQ(finish(), 0) << err();
}

// Steps with numbers that are none, threads outside 1..63 or sleeps without
// end are refused with a line before they play: the run fails with status
// 2, never with a signal.
TEST_F(PiagentHostRunTest, HostileStepsAreRefusedWithALine)
{
    struct Case {
        std::string step;
        std::string said;
    };
    const Case cases[] = {
        {"event:abc", "jvmpihost: bad number \"abc\" in step \"event:abc\"\n"},
        {"event:", "jvmpihost: bad number \"\" in step \"event:\"\n"},
        {"hasrun:1:", "jvmpihost: bad number \"\" in step \"hasrun:1:\"\n"},
        {"status:1:2x", "jvmpihost: bad number \"2x\" in step \"status:1:2x\"\n"},
        {"alloc:1:0x5000:0x100:-16", "jvmpihost: bad number \"-16\" in step \"alloc:1:0x5000:0x100:-16\"\n"},
        {"stack:1:0x11@x", "jvmpihost: bad number \"x\" in step \"stack:1:0x11@x\"\n"},
        {"sleep:-1", "jvmpihost: bad number \"-1\" in step \"sleep:-1\"\n"},
        {"sleep:700000", "jvmpihost: sleep of 700000 ms refused\n"},
        {"thread:99999999999999999999:main", "jvmpihost: bad number \"99999999999999999999\" in step \"thread:99999999999999999999:main\"\n"},
        {"monitor:0x5000:64", "jvmpihost: thread 64 out of range\n"},
        {"monitor:0x5000:1:2/0", "jvmpihost: thread 0 out of range\n"},
        {"monitor:0x5000:1::300", "jvmpihost: thread 300 out of range\n"},
        {"enter:64:0x11", "jvmpihost: unknown step \"enter:64:0x11\"\n"},
        // Numbers the VM hands over as jints stay in their range.
        {"alloc:1:0x5000:0x100:0x80000000", "jvmpihost: bad number \"0x80000000\" in step \"alloc:1:0x5000:0x100:0x80000000\"\n"},
        {"alloc:1:0x5000:0x100:16:4294967298", "jvmpihost: bad number \"4294967298\" in step \"alloc:1:0x5000:0x100:16:4294967298\"\n"},
        {"status:1:4294967297", "jvmpihost: bad number \"4294967297\" in step \"status:1:4294967297\"\n"},
        {"event:4294967297", "jvmpihost: bad number \"4294967297\" in step \"event:4294967297\"\n"},
        {"stack:1:0x11@2147483648", "jvmpihost: bad number \"2147483648\" in step \"stack:1:0x11@2147483648\"\n"},
        {"hasrun:1:2", "jvmpihost: bad number \"2\" in step \"hasrun:1:2\"\n"},
        // Every other step with a number.
        {"class:0xZZ:demo/A", "jvmpihost: bad number \"0xZZ\" in step \"class:0xZZ:demo/A\"\n"},
        {"quiet-class:-1:demo/A", "jvmpihost: bad number \"-1\" in step \"quiet-class:-1:demo/A\"\n"},
        {"class:0x100:demo/A:run/()V=0xq", "jvmpihost: bad number \"0xq\" in step \"class:0x100:demo/A:run/()V=0xq\"\n"},
        {"unload:abc", "jvmpihost: bad number \"abc\" in step \"unload:abc\"\n"},
        {"exit:1:", "jvmpihost: bad number \"\" in step \"exit:1:\"\n"},
        {"enter2:1:0x11:obj", "jvmpihost: bad number \"obj\" in step \"enter2:1:0x11:obj\"\n"},
        {"alloc:1:0x5000:abc:16", "jvmpihost: bad number \"abc\" in step \"alloc:1:0x5000:abc:16\"\n"},
        {"free:0x", "jvmpihost: bad number \"0x\" in step \"free:0x\"\n"},
        {"move:0x10:zz", "jvmpihost: bad number \"zz\" in step \"move:0x10:zz\"\n"},
        {"contend:1:-5", "jvmpihost: bad number \"-5\" in step \"contend:1:-5\"\n"},
        {"waited:0:0x10", "jvmpihost: thread 0 out of range\n"},
        {"raw-enter:64:appLock", "jvmpihost: thread 64 out of range\n"},
        {"thread-end:1x", "jvmpihost: bad number \"1x\" in step \"thread-end:1x\"\n"},
        {"java:0:A:b", "jvmpihost: thread 0 out of range\n"},
        {"monitor:zz:1", "jvmpihost: bad number \"zz\" in step \"monitor:zz:1\"\n"},
        {"heap-bytes:0g", "jvmpihost: bad hex bytes \"0g\"\n"},
        {"monitor-bytes:abc", "jvmpihost: bad hex bytes \"abc\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.step);
        start({c.step});
        EXPECT_EQ(finish(), 2) << err();
        std::string said = err();
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
}

} // namespace
