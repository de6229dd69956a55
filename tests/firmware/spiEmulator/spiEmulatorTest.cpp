#include "spiEmulator/spiEmulator.h"

#include "hal/hal.h"

#include "deviceManager/deviceManagerPrivate.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

typedef std::vector<uint8_t> Bytes;

// A listening socket on 127.0.0.1 with a port of the kernel's choice.
int loopbackListener(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (struct sockaddr *)&local, sizeof local) != 0)
        return -1;
    socklen_t length = sizeof local;
    getsockname(fd, (struct sockaddr *)&local, &length);
    *port = ntohs(local.sin_port);
    return fd;
}

bool sendAll(int fd, const Bytes &bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
}

Bytes receive(int fd, size_t length)
{
    Bytes bytes(length);
    size_t got = 0;
    while (got < length) {
        ssize_t n = recv(fd, bytes.data() + got, length - got, 0);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    bytes.resize(got);
    return bytes;
}

// The host-order bytes of register words, as the emulator keeps them.
Bytes hostWords(std::initializer_list<uint16_t> words)
{
    Bytes bytes(2 * words.size());
    size_t at = 0;
    for (uint16_t word : words) {
        memcpy(&bytes[at], &word, 2);
        at += 2;
    }
    return bytes;
}

// An emulator serving one client on a free loopback port.
class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        listening = loopbackListener(&port);
        ASSERT_GE(listening, 0);
        ASSERT_EQ(listen(listening, 5), 0);
        result = std::async(std::launch::async, [this] { return halSpiEmulatorServe(listening); });
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        if (result.valid()) {
            ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        }
        close(listening);
    }
    void connectClient()
    {
        client = socketConnect("127.0.0.1", port);
        ASSERT_GE(client, 0);
    }
    int listening = -1;
    int port = 0;
    int client = -1;
    std::future<int> result;
};

TEST_F(EmulatorTest, StartsWithItsInitialRegisterGroups)
{
    connectClient();
    for (uint16_t base : {0x000, 0x200, 0x400, 0x600}) {
        SCOPED_TRACE(base);
        // Read 1 unit: N = 1, address in bits 0-13, command 2 in the top bits of byte 3.
        ASSERT_TRUE(sendAll(client, {0x01, 0x00, (uint8_t)base, (uint8_t)(0x80 | (base >> 8))}));
        EXPECT_EQ(receive(client, 4), hostWords({921, 128}));
    }
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0x00, 0x82}));
    EXPECT_EQ(receive(client, 8), hostWords({921, 128, 0, 128}));
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x04, 0x82}));
    EXPECT_EQ(receive(client, 4), hostWords({0, 0}));
}

TEST_F(EmulatorTest, WritesReadBack)
{
    connectClient();
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0x34, 0x92}));
    EXPECT_EQ(receive(client, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    // The neighbours are untouched.
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x32, 0x92}));
    EXPECT_EQ(receive(client, 4), hostWords({0, 0}));
}

TEST_F(EmulatorTest, InvalidCommandsAreReportedAndTheConnectionStays)
{
    connectClient();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x00, 0x40}));
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x00, 0xC0}));
    ASSERT_TRUE(sendAll(client, {0x01, 0x00, 0x00, 0x82}));
    Bytes answer = receive(client, 4);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, hostWords({921, 128}));
    EXPECT_NE(errors.find("invalid command 1\n"), std::string::npos);
    EXPECT_NE(errors.find("invalid command 3\n"), std::string::npos);
}

TEST_F(EmulatorTest, FramesPastTheEndOfTheSpaceStayInside)
{
    connectClient();
    testing::internal::CaptureStderr();
    // Write 2 units at the last word: only that word is kept.
    ASSERT_TRUE(sendAll(client, {0x02, 0x00, 0xFF, 0x3F, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    // Read 4 units from two words before the end: the rest comes back as zeros.
    ASSERT_TRUE(sendAll(client, {0x04, 0x00, 0xFE, 0xBF}));
    Bytes answer = receive(client, 16);
    // The largest frame at the last word.
    ASSERT_TRUE(sendAll(client, {0xFF, 0x0F, 0xFF, 0xBF}));
    Bytes largest = receive(client, 4 * 0xFFF);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, (Bytes{0, 0, 0x11, 0x22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(largest.size(), 4u * 0xFFF);
    EXPECT_EQ(largest[0], 0x11);
    EXPECT_EQ(largest[2], 0);
}

TEST_F(EmulatorTest, EndsWhenItsClientGoesAway)
{
    connectClient();
    ASSERT_TRUE(sendAll(client, {0x01, 0x00}));  // half a header, then end of stream
    testing::internal::CaptureStderr();
    close(client);
    client = -1;
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("read error"), std::string::npos);
}

// A frame as the FPGA handler puts it in the channel's transmit buffer.
size_t putFrame(spiChannel_t *channel, uint32_t header, uint16_t count, const Bytes &data)
{
    uint8_t *tx = channel->txBuffer;
    tx[0] = (uint8_t)(header >> 24);
    tx[1] = (uint8_t)(header >> 16);
    tx[2] = (uint8_t)(header >> 8);
    tx[3] = (uint8_t)header;
    if (header & 0x80000000u) {
        tx[4] = (uint8_t)(count >> 8);
        tx[5] = (uint8_t)count;
        memset(tx + 6, 0, 2 * (size_t)count);
        return 6 + 2 * (size_t)count;
    }
    memcpy(tx + 4, data.data(), data.size());
    return 4 + data.size();
}

Bytes received(spiChannel_t *channel, uint16_t count)
{
    return Bytes(channel->rxBuffer + 6, channel->rxBuffer + 6 + 2 * count);
}

TEST_F(EmulatorTest, SocketChannelCarriesTheFpgaFrames)
{
    spiChannel_t *channel = nullptr;
    ASSERT_EQ(spiChannelOpenSocket(port, &channel), 0);
    ASSERT_NE(channel, nullptr);

    // Register words come back big-endian, as on the SPI bus.
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x80000200, 3, {})), 0);
    EXPECT_EQ(received(channel, 3), (Bytes{0x03, 0x99, 0x00, 0x80, 0x00, 0x00}));

    // An odd word count leaves the word behind it alone.
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x00000302, 0, {0xAA, 0xAA, 0xBB, 0xBB})), 0);
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x00000300, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66})), 0);
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x80000300, 4, {})), 0);
    EXPECT_EQ(received(channel, 4), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xBB, 0xBB}));

    // A keyhole write leaves its last word in the window; a keyhole read repeats the window.
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x40000400, 0, {0x01, 0x02, 0x03, 0x04})), 0);
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0xC0000400, 2, {})), 0);
    EXPECT_EQ(received(channel, 2), (Bytes{0x03, 0x04, 0x03, 0x04}));
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x80000401, 1, {})), 0);
    EXPECT_EQ(received(channel, 1), (Bytes{0x00, 0x80}));

    // Frames outside the emulated space fail without reaching it.
    EXPECT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x80004000, 1, {})), 1);
    EXPECT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x00003FFF, 0, {1, 2, 3, 4})), 1);
    EXPECT_EQ(spiChannelTransfer(channel, 3001), 1);
    // The connection still serves.
    ASSERT_EQ(spiChannelTransfer(channel, putFrame(channel, 0x80003FFF, 1, {})), 0);
    EXPECT_EQ(received(channel, 1), (Bytes{0x00, 0x00}));
    EXPECT_EQ(spiChannelClose(channel), 0);
}

// A device node played by one end of a socket pair, recording the size of each read and write.
struct PairNode {
    int descriptor = -1;
    size_t largestMove = 0;
};

int pairOpen(void *context, const char *)
{
    return static_cast<PairNode *>(context)->descriptor;
}

int pairClose(void *, int descriptor)
{
    return close(descriptor);
}

ssize_t pairRead(void *context, int descriptor, void *buffer, size_t length)
{
    auto *node = static_cast<PairNode *>(context);
    node->largestMove = std::max(node->largestMove, length);
    return read(descriptor, buffer, length);
}

ssize_t pairWrite(void *context, int descriptor, const void *buffer, size_t length)
{
    auto *node = static_cast<PairNode *>(context);
    node->largestMove = std::max(node->largestMove, length);
    return send(descriptor, buffer, length, MSG_NOSIGNAL);
}

TEST(SpiChannel, ReadsAndWritesInPiecesAndStopsAtEndOfStream)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    PairNode node;
    node.descriptor = pair[0];
    const halDeviceBackend_t backend = {pairOpen, pairClose, nullptr, nullptr, nullptr, nullptr,
                                        pairRead, pairWrite, &node};
    halSetDeviceBackend(&backend);
    spiChannel_t *channel = nullptr;
    ASSERT_EQ(spiChannelOpen("/dev/spidev1.2", &channel), 0);
    halSetDeviceBackend(nullptr);

    Bytes out(7000);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = (uint8_t)(i * 7);
    auto reader = std::async(std::launch::async, [&] { return receive(pair[1], out.size()); });
    EXPECT_EQ(spiChannelWrite(channel, out.data(), (int)out.size()), 0);
    EXPECT_EQ(reader.get(), out);
    EXPECT_EQ(spiChannelWrite(channel, out.data(), 0), 0);

    ASSERT_TRUE(sendAll(pair[1], Bytes(out.begin(), out.begin() + 5000)));
    Bytes in(5000);
    EXPECT_EQ(spiChannelRead(channel, in.data(), 5000), 0);
    EXPECT_EQ(in, Bytes(out.begin(), out.begin() + 5000));
    EXPECT_EQ(node.largestMove, 3000u);
    ASSERT_TRUE(sendAll(pair[1], {1, 2}));
    close(pair[1]);
    EXPECT_EQ(spiChannelRead(channel, in.data(), 10), 1);
    EXPECT_EQ(spiChannelClose(channel), 0);
    EXPECT_EQ(spiChannelClose(nullptr), 0);
}

TEST(SpiChannel, OpenFailuresLeaveNoChannel)
{
    spiChannel_t *channel = (spiChannel_t *)0x1;
    EXPECT_EQ(spiChannelOpen("/dev/no-such-spidev-here", &channel), 1);
    EXPECT_EQ(channel, nullptr);
    int port = 0;
    int unused = loopbackListener(&port);
    close(unused);  // nothing listens there now
    EXPECT_EQ(spiChannelOpenSocket(port, &channel), 1);
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(socketConnect("not an address", port), -1);
    EXPECT_EQ(socketListenAccept(-1), -1);
}

// The emulator on its fixed port 5131, reached by the FPGA handler through the
// device name "socket". Runs in private network and IPC namespaces only.
TEST(SpiEmulatorInNamespace, FpgaHandlerReachesTheEmulatorOnPort5131)
{
    if (!getenv("KVR_SPI_NAMESPACE"))
        GTEST_SKIP() << "runs inside the namespace started by SpiEmulatorOnFixedPort";
    ASSERT_EQ(system("ip link set lo up"), 0);
    testing::internal::CaptureStdout();
    auto server = std::async(std::launch::async, halSpiEmulatorServer);

    deviceObject fpga = {};
    fpga.assignedId = 1;
    fpga.name = "FSM-FPGA";
    fpga.devicePath = "socket";
    fpga.bypassGpioFd = -1;
    fpga.threadPriority = 95;
    uint32_t created = 1;
    for (int attempt = 0; attempt < 200 && created != 0; attempt++) {
        created = createFpgaHandler(&fpga, 1);
        if (created != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(created, 0u);
    uint8_t words[4] = {0};
    EXPECT_EQ(fpgaHandlerAccessSync(&fpga, DEVICE_READ, 0x200, 0, 2, words), 0u);
    EXPECT_EQ(Bytes(words, words + 4), (Bytes{0x03, 0x99, 0x00, 0x80}));
    uint8_t written[2] = {0x12, 0x34};
    EXPECT_EQ(fpgaHandlerAccessSync(&fpga, DEVICE_WRITE, 0x10, 0, 1, written), 0u);
    EXPECT_EQ(fpgaHandlerAccessSync(&fpga, DEVICE_READ, 0x10, 0, 1, words), 0u);
    EXPECT_EQ(Bytes(words, words + 2), (Bytes{0x12, 0x34}));
    EXPECT_EQ(deleteFpgaHandler(&fpga), 0u);
    ASSERT_EQ(server.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("SPI emulator\n"), std::string::npos);
    EXPECT_NE(printed.find("SPI emulator: got connection\n"), std::string::npos);
}

TEST(SpiEmulatorOnFixedPort, RunsInPrivateNamespaces)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root for private network namespaces (port 5131 is fixed)";
    if (getenv("KVR_SPI_NAMESPACE"))
        GTEST_SKIP() << "already inside the namespace";
    std::string command = "KVR_SPI_NAMESPACE=1 unshare --ipc --net /proc/" + std::to_string(getpid()) +
                          "/exe --gtest_filter=SpiEmulatorInNamespace.*";
    int status = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
