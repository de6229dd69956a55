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

#include "../../support/LoopbackSocket.h"
#include "../../support/TempDir.h"

namespace {

using loopbackSocket::Bytes;
using loopbackSocket::receive;
using loopbackSocket::sendAll;

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
    // A frame larger than the channel's buffers never reaches the device.
    EXPECT_EQ(spiEmulatorChannelTransfer(channel, SPI_CHANNEL_BUFFER_SIZE + 1), 1);
    EXPECT_EQ(spiChannelClose(channel), 0);
    EXPECT_EQ(spiChannelClose(nullptr), 0);
}

TEST(SpiChannel, OpenFailuresLeaveNoChannel)
{
    spiChannel_t *channel = (spiChannel_t *)0x1;
    EXPECT_EQ(spiChannelOpen("/dev/no-such-spidev-here", &channel), 1);
    EXPECT_EQ(channel, nullptr);
    int port = 0;
    int unused = loopbackSocket::listener(&port);
    close(unused);  // nothing listens there now
    EXPECT_EQ(spiEmulatorChannelOpenSocket(port, &channel), 1);
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(socketConnect("not an address", port), -1);
    EXPECT_EQ(socketListenAccept(-1), -1);
}

// The emulator on its fixed port 5131, reached by the FPGA handler through the
// device name "socket". Runs in a child of this program in private network and
// IPC namespaces; the test checks that the child ran it and passed.
void fpgaHandlerReachesTheEmulatorOnPort5131()
{
    ASSERT_EQ(system("ip link set lo up"), 0);
    /* Under a card root the handler's real-time priority is recorded, not set on this machine. */
    TempDir root;
    setenv("KVR_ROOT", root.path().c_str(), 1);
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

TEST(SpiEmulatorOnFixedPort, FpgaHandlerReachesTheEmulatorOnPort5131InPrivateNamespaces)
{
    if (getenv("KVR_SPI_NAMESPACE")) {
        fpgaHandlerReachesTheEmulatorOnPort5131();
        return;
    }
    if (geteuid() != 0)
        GTEST_SKIP() << "not root: private IPC and network namespaces (unshare) need root (fixed port 5131)";
    const testing::TestInfo *self = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(self->test_suite_name()) + "." + self->name();
    std::string command = "KVR_SPI_NAMESPACE=1 unshare --ipc --net /proc/" + std::to_string(getpid()) +
                          "/exe --gtest_filter=" + name + " 2>&1";
    FILE *child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, child)) > 0)
        output.append(buffer, n);
    int status = pclose(child);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    /* The child ran exactly this test and it passed: no filter typo or skip passes here. */
    EXPECT_NE(output.find("[       OK ] " + name), std::string::npos) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
    EXPECT_EQ(output.find("[  SKIPPED ]"), std::string::npos) << output;
}

} // namespace
