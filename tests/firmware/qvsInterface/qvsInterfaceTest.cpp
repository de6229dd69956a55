#include "qvsInterface/qvsInterface.h"

#include "qvsInterface/qvsInterfacePrivate.h"
#include "qvsPeer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "../main/FirmwareTestSupport.h"
#include "../../support/ThreadState.h"

using firmwareTest::TestLog;

namespace {

/* Pcodes handed over by the receiver thread. */
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> pcodes;
} received;

void pcodeCallback(uint32_t length, const uint8_t *pcode, log4c_category_t *category)
{
    EXPECT_NE(category, nullptr);
    std::lock_guard<std::mutex> lock(received.mutex);
    received.pcodes.emplace_back(pcode, pcode + length);
    received.changed.notify_all();
}

bool waitForPcodes(size_t count)
{
    std::unique_lock<std::mutex> lock(received.mutex);
    return received.changed.wait_for(lock, std::chrono::seconds(3), [&] { return received.pcodes.size() >= count; });
}

/* The header file as QVS ships it: 16-byte head, then 16-byte entries. */
std::vector<uint8_t> headerEntry(uint8_t flags, uint32_t cardType, uint32_t offset)
{
    return {flags, 0, 0, 0, 0, 0,
            (uint8_t)(cardType >> 24), (uint8_t)(cardType >> 16), (uint8_t)(cardType >> 8), (uint8_t)cardType,
            (uint8_t)(offset >> 24), (uint8_t)(offset >> 16), (uint8_t)(offset >> 8), (uint8_t)offset, 0, 0};
}

class ShmHeaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        initQvsInterface(QVS_MODE_LOCAL, nullptr); /* clears the recorded regions */
        memory.assign(8192, 0x55);
        setenv("SHM_HEADER_FULLPATHNAME", (dir / "ulmheader.dat").c_str(), 1);
    }
    void TearDown() override { unsetenv("SHM_HEADER_FULLPATHNAME"); }
    void writeHeader(const std::vector<std::vector<uint8_t>> &entries)
    {
        std::vector<uint8_t> file(16, 0xEE);
        for (const auto &entry : entries)
            file.insert(file.end(), entry.begin(), entry.end());
        std::ofstream(dir / "ulmheader.dat", std::ios::binary).write((const char *)file.data(), (std::streamsize)file.size());
        fileSize = file.size();
    }
    std::vector<uint8_t> at(size_t offset, size_t count) { return {memory.begin() + offset, memory.begin() + offset + count}; }
    TempDir dir;
    std::vector<uint8_t> memory;
    size_t fileSize = 0;
};

TEST_F(ShmHeaderTest, RegionHeadersAreWrittenAndRegionsRecorded)
{
    writeHeader({headerEntry(0x01, 9, 0x400), headerEntry(0x03, 22, 0x800), headerEntry(0x01, 50, 0xC00),
                 headerEntry(0x01, 66, 0x1000), headerEntry(0x01, 7, 0x1400), headerEntry(0x00, 9, 0x1800),
                 headerEntry(0x01, 50, 8190) /* header would run past the end */});
    memory[0x800 + 3] = 0xF2; /* flags: other bits kept, bit 1 cleared, bit 0 set */
    size_t mark = TestLog::instance().mark();
    initShmHeader(memory.data(), (uint32_t)memory.size());

    EXPECT_EQ(at(16, 16), headerEntry(0x01, 9, 0x400)); /* the file itself is copied */
    struct Case {
        size_t offset;
        std::vector<uint8_t> header;
    } cases[] = {
        {0x400, {0x55, 0x55, 0x55, 0x55, 0x00, 0x00, 0xCA, 0xFE, 0x00, 0x00, 0x00, 0x09}},
        {0x800, {0x55, 0x55, 0x55, 0xF1, 0x00, 0x00, 0xCA, 0xFE, 0x00, 0x00, 0x00, 0x16}},
        {0xC00, {0x55, 0x55, 0x55, 0x55, 0x00, 0x00, 0xCA, 0xFE, 0x00, 0x00, 0x00, 0x32}},
        {0x1000, {0x55, 0x55, 0x55, 0x55, 0x00, 0x00, 0xCA, 0xFE, 0x00, 0x00, 0x00, 0x42}},
        {0x1400, {0x55, 0x55, 0x55, 0x54, 0x00, 0x00, 0xCA, 0xFE, 0x00, 0x00, 0x00, 0x07}}, /* unknown: not valid */
        {0x1800, std::vector<uint8_t>(12, 0x55)},                                           /* not present */
        {8180, std::vector<uint8_t>(12, 0x55)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offset);
        EXPECT_EQ(at(c.offset, 12), c.header);
    }
    EXPECT_EQ(qvsInterfaceGetCardRegion(9), memory.data() + 0x400);
    EXPECT_EQ(qvsInterfaceGetCardRegion(22), memory.data() + 0x800);
    EXPECT_EQ(qvsInterfaceGetCardRegion(50), memory.data() + 0xC00);
    EXPECT_EQ(qvsInterfaceGetCardRegion(66), memory.data() + 0x1000);
    EXPECT_EQ(qvsInterfaceGetCardRegion(5), memory.data());
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("ULM_INPUTCARD at 0x800 [Video0 at  0xa48]"), std::string::npos);
    EXPECT_NE(logged.find("Unknown card type 7 in header. Ignored"), std::string::npos);
    EXPECT_NE(logged.find("card type 50 at offset 0x1ffe lies outside the shared memory"), std::string::npos);
    EXPECT_EQ(logged.find("failed to get env var"), std::string::npos);
}

TEST_F(ShmHeaderTest, HeadOnlyOrMissingFileRecordsNoRegion)
{
    writeHeader({});
    initShmHeader(memory.data(), (uint32_t)memory.size());
    EXPECT_EQ(at(0, 16), std::vector<uint8_t>(16, 0xEE));
    EXPECT_EQ(qvsInterfaceGetCardRegion(9), nullptr);

    unsetenv("SHM_HEADER_FULLPATHNAME");
    setenv("KVR_ROOT", dir.path().c_str(), 1);
    memory.assign(8192, 0x55);
    size_t mark = TestLog::instance().mark();
    initShmHeader(memory.data(), (uint32_t)memory.size());
    unsetenv("KVR_ROOT");
    EXPECT_EQ(memory, std::vector<uint8_t>(8192, 0x55));
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("initShmHeader failed to get env var SHM_HEADER_FULLPATHNAME will use filename " + dir.path() +
                          "/usr/local/q7/firmware/ulmheader.dat"),
              std::string::npos);
    EXPECT_NE(logged.find("cannot open header file"), std::string::npos);
}

TEST(PublishingLists, HoldTheChunksOfBothLists)
{
    ASSERT_EQ(sharedMemPublishing.listCount, 2u);
    struct Chunk {
        uint32_t localOffset, remoteOffset, size;
    } list0[] = {
        {0, 0x00000000, 1366},         {2048, 0x80000820, 4332},  {8428, 0x80002820, 4332},
        {14808, 0x80004820, 4332},     {21188, 0x80006820, 4332}, {27568, 0x80008820, 4332},
        {33948, 0x8000A820, 4332},
    };
    const sharedMemPublishingList &first = sharedMemPublishing.lists[0];
    ASSERT_EQ(first.chunkCount, 7u);
    for (uint32_t i = 0; i < first.chunkCount; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(first.chunks[i].localOffset, list0[i].localOffset);
        EXPECT_EQ(first.chunks[i].remoteOffset, list0[i].remoteOffset);
        EXPECT_EQ(first.chunks[i].size, list0[i].size);
        EXPECT_EQ(first.chunks[i].send, 0u);
    }
    const sharedMemPublishingList &second = sharedMemPublishing.lists[1];
    ASSERT_EQ(second.chunkCount, 1u);
    EXPECT_EQ(second.chunks[0].localOffset, 0u);
    EXPECT_EQ(second.chunks[0].remoteOffset, 0u);
    EXPECT_EQ(second.chunks[0].size, 1366u);
}

TEST(QvsInterfaceModes, UnknownModeOrRemoteWithoutAddressesGiveNoSharedMemory)
{
    TestLog::instance();
    TempDir dir;
    std::ofstream(dir / "empty");
    std::ofstream(dir / "tooLong") << "127.000.000.0001\n"; /* 17 characters with the newline */
    struct Case {
        const char *name;
        int mode;
        std::string file;
    } cases[] = {
        {"unknown mode", 7, "addresses"},
        {"missing address file", QVS_MODE_REMOTE, dir / "missing"},
        {"empty address file", QVS_MODE_REMOTE, dir / "empty"},
        {"only a line too long", QVS_MODE_REMOTE, dir / "tooLong"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        initQvsInterface(c.mode, c.file.c_str());
        EXPECT_EQ(qvsInterfaceGetSharedMemory(&sharedMemPublishing, pcodeCallback), nullptr);
        EXPECT_EQ(qvsInterfaceWriteSharedMem(0, "ab", 1), -1);
    }
    EXPECT_EQ(initQvsInterface(7, nullptr), -1);
    EXPECT_EQ(qvsInterfaceGetSharedMemorySize(), 0u);
}

TEST(QvsInterfaceModes, StubHasTheLocalSizeAndNoPeer)
{
    TestLog::instance();
    ASSERT_EQ(initQvsInterface(QVS_MODE_STUB, nullptr), 0);
    uint8_t *base = (uint8_t *)qvsInterfaceGetSharedMemory(nullptr, pcodeCallback);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(qvsInterfaceGetSharedMemorySize(), 164864u);
    const uint8_t words[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(qvsInterfaceWriteSharedMem(82430, words, 2), 2); /* ends at byte 164,864 */
    EXPECT_EQ(memcmp(base + 164860, words, 4), 0);
    EXPECT_EQ(qvsInterfaceWriteSharedMem(82431, words, 2), -1);
    uint8_t back[4] = {};
    EXPECT_EQ(qvsInterfaceReadSharedMem(82430, back, 2), 2);
    EXPECT_EQ(memcmp(back, words, 4), 0);
    EXPECT_EQ(qvsInterfaceReadSharedMem(82431, back, 2), -1);
    qvsInterfaceNotify(); /* nobody to tell */
    /* A new start gives a zeroed buffer again. */
    ASSERT_EQ(initQvsInterface(QVS_MODE_STUB, nullptr), 0);
    base = (uint8_t *)qvsInterfaceGetSharedMemory(nullptr, pcodeCallback);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base[164860], 0);
}

TEST(QvsTcpConnection, DescriptorZeroIsAValidConnection)
{
    /* With standard input closed (as under CI) a peer's socket can be descriptor 0. */
    TestLog::instance();
    int saved = dup(0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(dup2(pair[0], 0), 0);
    close(pair[0]);

    std::vector<uint8_t> memory(QVS_TCP_SHM_SIZE, 0x5A);
    qvsTcpBuffer_t buffer = {memory.data(), PTHREAD_MUTEX_INITIALIZER, 4};
    static qvsPeer_t peer;
    qvsInterfaceTcpPeerInit(&peer, &buffer, 1, 1);
    strcpy(peer.address, "127.0.0.2");
    ASSERT_EQ(qvsInterfaceTcpAttach(&peer, 0), 0);
    EXPECT_EQ(peer.socket, 0);
    EXPECT_EQ(peer.state, (int)QVS_SERVER_STATE_CONNECTED);
    qvsInterfaceTcpNotify(&peer); /* no publishing list: the first shmSize bytes at once */

    std::vector<uint8_t> expected = {0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 0, 0x5A, 0x5A, 0x5A, 0x5A, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> got(expected.size());
    ASSERT_EQ(recv(pair[1], got.data(), got.size(), MSG_WAITALL), (ssize_t)got.size());
    EXPECT_EQ(got, expected);

    qvsInterfaceTcpDetach(&peer, 0, "test");
    EXPECT_EQ(peer.socket, -1);
    EXPECT_EQ(peer.state, (int)QVS_SERVER_STATE_WAITING);
    uint8_t byte;
    EXPECT_EQ(recv(pair[1], &byte, 1, 0), 0); /* closed */
    close(pair[1]);
    if (saved >= 0) {
        dup2(saved, 0);
        close(saved);
    }
}

/* Local mode against the QVS peer, on the fixed keys in a private IPC namespace. */
class QvsLocalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        TestLog::instance();
        setenv("KVR_ROOT", dir.path().c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        setenv("SHM_HEADER_FULLPATHNAME", (dir / "ulmheader.dat").c_str(), 1);
        std::vector<uint8_t> file(16, 0);
        std::vector<uint8_t> entry = headerEntry(0x01, 22, 0x100);
        file.insert(file.end(), entry.begin(), entry.end());
        std::ofstream(dir / "ulmheader.dat", std::ios::binary).write((const char *)file.data(), (std::streamsize)file.size());
        {
            std::lock_guard<std::mutex> lock(received.mutex);
            received.pcodes.clear();
        }
        ASSERT_EQ(initQvsInterface(QVS_MODE_LOCAL, nullptr), 0);
        base = (uint8_t *)qvsInterfaceGetSharedMemory(&sharedMemPublishing, pcodeCallback);
        ASSERT_NE(base, nullptr);
        ASSERT_EQ(qvsPeerOpenLocal(&peer), 0);
    }
    void TearDown() override
    {
        unsetenv("SHM_HEADER_FULLPATHNAME");
        if (peer.transport)
            peer.transport->close(&peer);
    }
    void send(const std::vector<uint8_t> &pcode) { ASSERT_EQ(peer.transport->sendPcode(&peer, pcode.data(), (uint32_t)pcode.size()), 0); }
    TempDir dir;
    uint8_t *base = nullptr;
    qvsPeer peer{};
};

TEST_F(QvsLocalTest, SharedMemoryIsZeroedLoadedAndBoundsChecked)
{
    EXPECT_EQ(qvsInterfaceGetSharedMemorySize(), 164864u);
    uint8_t region[12];
    ASSERT_EQ(peer.transport->readSharedMem(&peer, 0x100, region, sizeof region), 0);
    EXPECT_EQ(std::vector<uint8_t>(region, region + 12),
              (std::vector<uint8_t>{0, 0, 0, 0x01, 0, 0, 0xCA, 0xFE, 0, 0, 0, 22}));
    EXPECT_EQ(qvsInterfaceGetCardRegion(22), base + 0x100);
    EXPECT_EQ(qvsInterfaceGetCardRegion(5), base);

    const uint8_t words[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(qvsInterfaceWriteSharedMem(82430, words, 2), 2); /* ends exactly at byte 164,864 */
    EXPECT_EQ(qvsInterfaceWriteSharedMem(82431, words, 2), -1);
    EXPECT_EQ(qvsInterfaceWriteSharedMem(0xFFFFFFFF, words, 2), -1);
    uint8_t back[4] = {};
    EXPECT_EQ(qvsInterfaceReadSharedMem(82430, back, 2), 2);
    EXPECT_EQ(memcmp(back, words, 4), 0);
    EXPECT_EQ(qvsInterfaceReadSharedMem(82431, back, 2), -1);
    uint8_t seen[4];
    ASSERT_EQ(peer.transport->readSharedMem(&peer, 164860, seen, 4), 0);
    EXPECT_EQ(memcmp(seen, words, 4), 0);
    EXPECT_TRUE(TestLog::instance().contains("Cant write to shared mem out of range value is: 82431"));
}

TEST_F(QvsLocalTest, PcodesArriveInOrderAndOddMessagesAreSkipped)
{
    send(qvsPeerBuildPcode(20, 5, {1, 2, 3}));
    /* Another type, a message larger than the receive buffer, a length beyond the message. */
    uint32_t word = 0;
    ASSERT_EQ(qvsPeerSendLocalMessage(&peer, 55, (const uint8_t *)&word, 4), 0);
    std::vector<uint8_t> huge(5000, 0);
    ASSERT_EQ(qvsPeerSendLocalMessage(&peer, 1000, huge.data(), huge.size()), 0);
    std::vector<uint8_t> lying = {200, 0, 0, 0, 20, 5, 0, 0};
    ASSERT_EQ(qvsPeerSendLocalMessage(&peer, 1000, lying.data(), lying.size()), 0);
    send(qvsPeerBuildSetDevice(1, 2, 4, 0xA0B0C0D0));
    ASSERT_TRUE(waitForPcodes(2));
    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_EQ(received.pcodes.size(), 2u);
    EXPECT_EQ(received.pcodes[0], (std::vector<uint8_t>{20, 5, 0, 3, 1, 2, 3}));
    EXPECT_EQ(received.pcodes[1], (std::vector<uint8_t>{10, 1, 0, 9, 1, 0, 2, 0, 4, 0xA0, 0xB0, 0xC0, 0xD0}));
    std::string logged = TestLog::instance().text();
    EXPECT_NE(logged.find("QvsInterface: unknown message 55"), std::string::npos);
    EXPECT_NE(logged.find("larger than 4096 bytes skipped"), std::string::npos);
    EXPECT_NE(logged.find("pcode length 200 exceeds the 4 bytes received, skipped"), std::string::npos);
}

/* The receiver is the thread that waits for the queue's messages: on QUIT it ends, and a pcode sent after stays unread. */
TEST_F(QvsLocalTest, QuitEndsTheReceiver)
{
    pid_t receiver = 0;
    for (int i = 0; i < 2000 && receiver == 0; i++) {
        for (pid_t tid : threadState::threads())
            if (threadState::systemCall(tid) == SYS_msgrcv && threadState::sleeping(tid))
                receiver = tid;
        if (receiver == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(receiver, 0) << "no thread waits for the queue's messages";
    ASSERT_EQ(peer.transport->sendQuit(&peer), 0);
    for (int i = 0; i < 2000 && threadState::threads().count(receiver); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(threadState::threads().count(receiver), 0u) << "the receiver goes on after QUIT";
    EXPECT_TRUE(TestLog::instance().contains("QvsInterface: received QUIT"));
    send(qvsPeerBuildPcode(20, 5, {}));
    struct msqid_ds queue = {};
    ASSERT_EQ(msgctl(msgget(QVS_LOCAL_MSG_KEY, 0), IPC_STAT, &queue), 0);
    EXPECT_EQ(queue.msg_qnum, 1u);
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_TRUE(received.pcodes.empty());
}

TEST_F(QvsLocalTest, NotifyWakesAWaitingPeer)
{
    EXPECT_EQ(peer.transport->waitNotify(&peer, 50), -1); /* nothing yet */
    int result = -2;
    std::thread waiter([&] { result = peer.transport->waitNotify(&peer, 20000); });
    /* A notify wakes only those already waiting: send it once the waiter waits on the semaphore. */
    int semaphore = semget(QVS_LOCAL_SEM_KEY, 1, 0);
    EXPECT_GE(semaphore, 0);
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         semctl(semaphore, 0, GETNCNT) < 1 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(semctl(semaphore, 0, GETNCNT), 1) << "the waiter never waits";
    qvsInterfaceNotify();
    waiter.join();
    EXPECT_EQ(result, 0);
    qvsInterfaceNotify(); /* nobody waits: nothing is left pending */
    EXPECT_EQ(peer.transport->waitNotify(&peer, 50), -1);
}

} // namespace
