/*
 * HDR on the running daemon: an HDR-capable card (hardware type 4) with the
 * card emulator, the restore point on disk, the QVS peer sending calibration
 * pcodes and a layout, the debug port on loopback, in private IPC and network
 * namespaces. The restore point's calibration reaches the 3D-LUT generator
 * once the services run, a calibration pcode is saved, the layout's video
 * instance is uploaded and enabled, and the maintenance write of the debug
 * port runs the read-back validation.
 */

#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../DaemonTestSupport.h"
#include "utils/utils.h"

using firmwareTest::readFile;

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes header(uint8_t command, uint8_t device, uint32_t address, uint8_t size)
{
    Bytes h = {0x7F, command, device, (uint8_t)(address >> 24), (uint8_t)(address >> 16), (uint8_t)(address >> 8),
               (uint8_t)address, size};
    uint16_t crc = crc16Ccitt(h.data(), h.size());
    h.push_back((uint8_t)(crc >> 8));
    h.push_back((uint8_t)crc);
    return h;
}

bool sendAll(int fd, const Bytes &bytes)
{
    return write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
}

bool readAll(int fd, uint8_t *into, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, into + got, size - got);
        if (n <= 0)
            return false;
        got += (size_t)n;
    }
    return true;
}

/* One register of an FPGA through the debug port, or -1. */
int readRegister(int fd, uint8_t device, uint32_t address)
{
    if (!sendAll(fd, header(1, device, address, 1)))
        return -1;
    uint8_t reply[3];
    if (!readAll(fd, reply, sizeof reply) || reply[0] != 0)
        return -1;
    return reply[1] << 8 | reply[2];
}

int connectDebugPort()
{
    for (int attempt = 0; attempt < 100; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(8989);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, (sockaddr *)&address, sizeof address) == 0) {
            timeval timeout = {5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

class HdrE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        mkdir((dir / "root/usr/local/q7/logs").c_str(), 0755);
        firmwareTest::writeConfiguration(
            dir, {"pcodeProcessor", "layoutManager", "debuger", "persistentDataStorage", "hdrManager"});
        std::ofstream(dir / "root/etc/cardsim.conf") << "cardType=4\n";
        const uint8_t ulmHeader[32] = {0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)ulmHeader, sizeof ulmHeader);
        /* Input 0: FORCE, PQ, BT.2020, nits 1000, narrow. */
        std::ofstream(restorePoint()) << "version=1.1\nslot=4\nHDR_CALIBRATION_INPUT_1=040002020100e80301000000\n";
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }
    std::string restorePoint() { return dir / "root/usr/local/q7/firmware/restorepoint.rsp"; }
    bool waitForLog(const std::string &needle, int milliseconds = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, milliseconds);
    }
    int peer(const std::string &arguments) { return firmwareTest::runQvsPeer(arguments, dir / "peer.out", true); }

    TempDir dir;
    pid_t pid = -1;
};

TEST_F(HdrE2E, CalibrationLayoutUploadAndValidation)
{
    pid = firmwareTest::startEmulatedDaemon(dir);
    ASSERT_TRUE(waitForLog("Starting service hdrManager")) << readFile(log());
    ASSERT_TRUE(waitForLog("HDRManager: notifyAll: VideoInput 0 retrieved from Restore Point")) << readFile(log());
    EXPECT_TRUE(waitForLog("HDR Video Input Calibration : HDR_CALIBRATION_INPUT_1 is present in RestorePoint!"));

    /* Input 2 in AUTO from the QVS application: saved, nits low byte first. */
    ASSERT_EQ(peer("pcode 10 19 4 2 1 2 1 0 0x03 0xe8 1 0 0 0"), 0) << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("HDRManager: The key : HDR_CALIBRATION_INPUT_3, the value : 040201020100e80301000000"))
        << readFile(log());
    bool saved = false;
    for (int i = 0; i < 250 && !saved; i++) {
        saved = readFile(restorePoint()).find("HDR_CALIBRATION_INPUT_3=040201020100e80301000000") != std::string::npos;
        if (!saved)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(saved) << readFile(restorePoint());

    /* Head 0 at 1080p59.94 shows input 0 in one window. */
    const std::string resolution = "pcode 20 2 4 0 0 0x17 0x6a 0x08 0xd7 0xaa 0xa0 0x07 0x80 0x04 0x38 0x08 0x98 "
                                   "0x04 0x65 2 0 0 0 0 0 0";
    std::string window = "pcode 20 3 4 0 0 4 0 0x03 0xc0 0x02 0x1c 0 100 0 200";
    for (int i = 0; i < 24; i++)
        window += " 0";
    window += " 0x03 0xc0 0x02 0x1c";
    for (int i = 0; i < 11; i++)
        window += " 0";
    ASSERT_EQ(peer(resolution + " " + window + " pcode 20 0 4 0 1 0"), 0) << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("Going to program the HDR 3DLut instance type HDR_VIDEO_INSTANCE")) << readFile(log());
    ASSERT_TRUE(waitForLog("video path processing Succeeded")) << readFile(log());

    int fd = connectDebugPort();
    ASSERT_GE(fd, 0);
    int bypass = -1, enable = 0;
    for (int i = 0; i < 100 && (enable == 0 || bypass != 0); i++) {
        bypass = readRegister(fd, 3, 0x2400);
        enable = readRegister(fd, 3, 0x2401);
        if (enable == 0 || bypass != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(enable, 0);
    EXPECT_EQ(bypass & enable, 0); /* in use: enabled, not bypassed */
    int instance = __builtin_ctz((unsigned)enable);

    /* The maintenance write of the Thread Control device runs the validation of the video instances. */
    Bytes request = header(2, 28, 0xFFF2, 1);
    request.push_back(0);
    request.push_back(0);
    ASSERT_TRUE(sendAll(fd, request));
    ASSERT_TRUE(waitForLog("HDR Inputs 3DLut instance data integrity validation succeeded: HDR Inputs instance number [" +
                           std::to_string(instance) + "]"))
        << readFile(log());
    std::string validation = readFile(dir / ("root/usr/local/q7/logs/hdr_video_3dlut_data_integity_validation.log." +
                                             std::to_string(instance)));
    std::istringstream lines(validation);
    std::string line;
    size_t count = 0, mismatches = 0;
    while (std::getline(lines, line)) {
        count++;
        mismatches += line.find("MISMATCH") != std::string::npos;
    }
    EXPECT_EQ(count, 4914u);
    EXPECT_EQ(mismatches, 0u);
    close(fd);
}

/*
 * With the storage service not enabled, each calibration that the HDR manager
 * saves is refused at once with one line: its worker never waits for a free
 * request, and the restore point file stays as it was.
 */
TEST_F(HdrE2E, CalibrationsAreRefusedAtOnceWithoutTheStorageService)
{
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "layoutManager", "hdrManager"});
    std::string before = readFile(restorePoint());
    pid = firmwareTest::startEmulatedDaemon(dir);
    ASSERT_TRUE(waitForLog("Starting service hdrManager")) << readFile(log());
    ASSERT_TRUE(waitForLog("Not starting service persistentDataStorage")) << readFile(log());
    /* Six calibrations of inputs 0 to 5 in one run of the peer: more than the four requests the storage has. */
    std::string pcodes;
    for (int input = 0; input < 6; input++)
        pcodes += " pcode 10 19 4 " + std::to_string(input) + " 1 2 1 0 0x03 0xe8 1 0 0 0";
    auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(peer(pcodes), 0) << readFile(dir / "peer.out");
    const char *refused = "the persistentDataStorage service is not running! Refusing request HDR_CALIBRATION_INPUT_";
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), refused, 6, 20000)) << readFile(log());
    /* Without the refusal the fifth waited 5 s for a free request, and the sixth 5 s more. */
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(4));
    for (int input = 1; input <= 6; input++)
        EXPECT_EQ(firmwareTest::logCount(log(), refused + std::to_string(input) + "\n"), 1u) << input;
    EXPECT_EQ(readFile(log()).find("Big problem! Q full!"), std::string::npos);
    EXPECT_EQ(readFile(restorePoint()), before);
}

} // namespace
