/*
 * Runs the real kvr-firmware on a temporary card root with its own log
 * configuration, and the QVS peer beside it, in private IPC and network
 * namespaces.
 */

#include <chrono>
#include <csignal>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "DaemonTestSupport.h"
#include "cardsim/cardsim.h"

using firmwareTest::readFile;

namespace {

const char *usageLine = "usage: cmd [-s][-c][-v level][-r filename][-d delay(ms)][-S][-K] [-e]\n";

/* Every service of the hybrid list, in list order. */
const char *services[] = {"deviceManager",   "debuger",       "interruptController", "pcodeProcessor",
                          "configManager",   "probing",       "ethernetProbing",     "fifoServer",
                          "ledManager",      "strata",        "layoutManager",       "systemConfigHandler",
                          "persistentDataStorage", "loudnessManager", "hdrManager"};

class FirmwareProcess {
public:
    explicit FirmwareProcess(const TempDir &dir) : dir_(dir) {}
    ~FirmwareProcess() { firmwareTest::killDaemon(pid_); }
    void start(const std::vector<std::string> &arguments) { pid_ = firmwareTest::startDaemon(dir_, arguments, true); }
    /* Waits for the exit; -1 when it did not end within the time. */
    int wait(int milliseconds)
    {
        for (int i = 0; i < milliseconds / 5; i++) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }
    std::string out() { return readFile(dir_ / "stdout"); }
    std::string err() { return readFile(dir_ / "stderr"); }

private:
    const TempDir &dir_;
    pid_t pid_ = -1;
};

struct OptionCase {
    const char *name;
    std::vector<std::string> arguments;
    std::string out;
};

class FirmwareOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(FirmwareOptions, EndBeforeTheFirmwareStarts)
{
    TempDir dir;
    mkdir((dir / "root").c_str(), 0755);
    FirmwareProcess process(dir);
    process.start(GetParam().arguments);
    EXPECT_EQ(process.wait(5000), 0);
    EXPECT_EQ(process.out(), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Options, FirmwareOptions,
    ::testing::Values(OptionCase{"Help", {"-h"}, usageLine},
                      OptionCase{"HelpAfterOthers", {"-v", "3", "-S", "-h", "-c"}, usageLine},
                      OptionCase{"HelpBeforeClient", {"-h", "-s"}, usageLine},
                      OptionCase{"UnknownOptionIgnored", {"-x", "-h"}, usageLine}),
    [](const ::testing::TestParamInfo<OptionCase> &info) { return std::string(info.param.name); });

class FirmwareRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log());
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "debuger", "hdrManager"});
        /* One input-card region at 0x200. */
        const uint8_t header[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0x01, 0, 0, 0, 0, 0, 0, 0, 0, 22, 0, 0, 0x02, 0x00, 0, 0};
        std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
            .write((const char *)header, sizeof header);
    }
    std::string log() { return dir / "firmware.log"; }
    bool waitForLog(const std::string &needle, int milliseconds = 15000)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, milliseconds);
    }
    int peer(const std::string &arguments, const std::string &out = "peer.out")
    {
        return firmwareTest::runQvsPeer(arguments, dir / out, false) == 0 ? 0 : 1;
    }
    /* Starts the firmware and waits until its services are enabled. */
    void startFirmware(FirmwareProcess &process)
    {
        process.start({"-l", dir / "log4c", "-v", "2", "-d", "0"});
        ASSERT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
    }
    TempDir dir;
};

TEST_F(FirmwareRun, StartsServesPcodesAndStopsOnSigint)
{
    FirmwareProcess process(dir);
    startFirmware(process);

    /* Pcodes from the QVS peer reach the decoder and its handlers. */
    ASSERT_EQ(peer("pcode 20 5 1 2 3"), 0);
    ASSERT_EQ(peer("setdevice 1 0x0203 4 0xA0B0C0D0"), 0);
    ASSERT_EQ(peer("pcode 40 9 1"), 0);
    ASSERT_EQ(peer("pcode 50 1"), 0);
    ASSERT_TRUE(waitForLog("Invalid Pcode received: class=5, id=1")) << readFile(log());
    std::string logged = readFile(log());
    EXPECT_NE(logged.find("Unsupported pcode: class=4, id=9"), std::string::npos);
    EXPECT_NE(logged.find("PCODE PROC: SET_DEVICE_REGISTER slot=1, dev=203, reg=4, val=a0b0c0d0"), std::string::npos);
    EXPECT_NE(logged.find("byteCount 3 dstSlotId 1 length 7"), std::string::npos);

    /* The shared memory carries the header file and its region header. */
    ASSERT_EQ(peer("read 0x200 12"), 0);
    EXPECT_EQ(readFile(dir / "peer.out"), "00 00 00 01 00 00 ca fe 00 00 00 16\n");

    process.signal(SIGINT);
    EXPECT_EQ(process.wait(10000), 0);
    EXPECT_NE(process.err().find("Caught SIGINT: going down\n"), std::string::npos);
    logged = readFile(log());

    /* The banner through "ulm.firmware.main". */
    std::string full(116, 'X');
    std::string middle = std::string(31, 'X') + " STARTING FIRMWARE  " + std::string(65, 'X');
    size_t banner = logged.find("ulm.firmware.main - mainLogBanner: " + full + "\n");
    ASSERT_NE(banner, std::string::npos);
    EXPECT_NE(logged.find("ulm.firmware.main - mainLogBanner: " + middle + "\n", banner), std::string::npos);

    size_t last = 0;
    for (const char *service : services) {
        SCOPED_TRACE(service);
        EXPECT_NE(logged.find(std::string("initService ") + service + ": initialisation complete"), std::string::npos);
        size_t at = logged.find(std::string("terminateService ") + service + ": terminated");
        ASSERT_NE(at, std::string::npos);
        EXPECT_GT(at, last); /* terminated in list order */
        last = at;
    }
    EXPECT_NE(logged.find("Starting service debuger"), std::string::npos);
    EXPECT_NE(logged.find("Starting service hdrManager"), std::string::npos);
    EXPECT_NE(logged.find("Not starting service probing"), std::string::npos);
    EXPECT_NE(logged.find("Not starting service loudnessManager"), std::string::npos);
    EXPECT_NE(logged.find("Caught SIGINT: going down"), std::string::npos);
    struct stat st;
    EXPECT_EQ(stat((dir / "root/var/run/ulmfirmware").c_str(), &st), 0);
}

/*
 * A flood of pcodes the firmware refuses: each second the log takes at most
 * 200 refusals of one kind, and the rest of that second is counted in one line
 * once the second is over; written and counted add up to every pcode.
 */
TEST_F(FirmwareRun, RepeatedLinesOfOneKindAreCountedAndSummarised)
{
    FirmwareProcess process(dir);
    startFirmware(process);
    const int flood = 3000;
    std::string arguments;
    for (int i = 0; i < flood; i++)
        arguments += " pcode 50 " + std::to_string(1 + i % 200);
    /* pcodes are taken in order: a line of another kind after the flood marks its end */
    arguments += " setdevice 1 0x0203 4 0xA0B0C0D0";
    ASSERT_EQ(peer(arguments), 0) << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("PCODE PROC: SET_DEVICE_REGISTER slot=1, dev=203, reg=4, val=a0b0c0d0", 60000))
        << readFile(log());
    /* once the second of the flood's last line is over, the next line brings the summaries */
    time_t floodEnd = time(nullptr);
    while (time(nullptr) <= floodEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(peer("pcode 50 201"), 0);
    ASSERT_TRUE(waitForLog("Invalid Pcode received: class=5, id=201")) << readFile(log());
    std::string logged = readFile(log());
    const std::string refusal = "Invalid Pcode received: class=5, id=";
    const std::string summary = "logLimit: ";
    size_t written = 0, leftOut = 0;
    for (size_t at = logged.find(refusal); at != std::string::npos; at = logged.find(refusal, at + 1)) {
        size_t line = logged.rfind('\n', at) + 1;
        size_t head = logged.find(summary, line);
        if (head != std::string::npos && head < at)
            leftOut += std::stoul(logged.substr(head + summary.size()));
        else
            written++;
    }
    EXPECT_EQ(written + leftOut, (size_t)flood + 1) << written << " written, " << leftOut << " left out";
    EXPECT_GT(leftOut, 0u);
    EXPECT_LT(written, (size_t)flood);
    process.signal(SIGINT);
    EXPECT_EQ(process.wait(10000), 0);
}

/*
 * Pcodes that arrive before the pcode decoder's thread runs wait for it, 30 s
 * in all over the process's life: a decoder that starts late (in start-up tick
 * 30) takes the early pcode; one that never starts costs the first pcode its
 * 30 s, and every later pcode is dropped at once, each with its line.
 */
TEST_F(FirmwareRun, PcodesBeforeTheDecoderStartsWaitThirtySecondsInAll)
{
    const char *tooLong = "Error pcodeProcessor: Pcode Decoder thread took too long to start. We are losing pcodes!";
    const char *taken = "Pcode received info pcodeClass=4, pcodeId=9";
    const struct {
        const char *name;
        const char *services;
        bool decoderStarts;
    } cases[] = {
        {"the decoder starts in tick 30",
         "<name>pcodeProcessor</name><enable>1</enable><postponeStartup>30</postponeStartup>"
         "<name>debuger</name><enable>1</enable><postponeStartup>0</postponeStartup>",
         true},
        {"the decoder never starts", "<name>debuger</name><enable>1</enable><postponeStartup>0</postponeStartup>", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir / "root/usr/local/q7/firmware/configuration.xml")
            << "<configuration><version>1.0</version><service>" << c.services << "</service></configuration>\n";
        std::ofstream(log(), std::ios::trunc).close();
        FirmwareProcess process(dir);
        process.start({"-l", dir / "log4c", "-d", "0"});
        ASSERT_TRUE(waitForLog("got shm")) << readFile(log());
        auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(peer("pcode 40 9 1 pcode 40 9 2"), 0);
        if (c.decoderStarts) {
            ASSERT_TRUE(firmwareTest::waitForLogIn(log(), taken, 2, 20000)) << readFile(log());
            std::string logged = readFile(log());
            EXPECT_LT(logged.find("Starting service pcodeProcessor"), logged.find(taken)) << logged;
            EXPECT_EQ(logged.find(tooLong), std::string::npos);
        } else {
            ASSERT_TRUE(waitForLog("Not starting service pcodeProcessor")) << readFile(log());
            ASSERT_TRUE(firmwareTest::waitForLogIn(log(), tooLong, 1, 60000)) << readFile(log());
            auto first = std::chrono::steady_clock::now();
            EXPECT_GE(first - sent, std::chrono::seconds(25));
            /* the budget is spent: the second pcode is dropped at once */
            ASSERT_TRUE(firmwareTest::waitForLogIn(log(), tooLong, 2, 20000)) << readFile(log());
            EXPECT_LT(std::chrono::steady_clock::now() - first, firmwareTest::PROMPT);
            ASSERT_EQ(peer("pcode 40 9 3"), 0);
            auto third = std::chrono::steady_clock::now();
            ASSERT_TRUE(firmwareTest::waitForLogIn(log(), tooLong, 3, 20000)) << readFile(log());
            EXPECT_LT(std::chrono::steady_clock::now() - third, firmwareTest::PROMPT);
            EXPECT_EQ(readFile(log()).find("Pcode received info"), std::string::npos);
        }
        process.signal(SIGINT);
        EXPECT_EQ(process.wait(20000), 0);
    }
}

TEST_F(FirmwareRun, SigtermEndsAfterAboutTwoHundredMilliseconds)
{
    FirmwareProcess process(dir);
    startFirmware(process);
    auto sent = std::chrono::steady_clock::now();
    process.signal(SIGTERM);
    EXPECT_EQ(process.wait(10000), 0);
    auto took = std::chrono::steady_clock::now() - sent;
    /* Never before the pause; after it, no stop sequence (checked below) but the process's
     * own exit, which under the sanitizers (leak check) and a loaded machine takes seconds. */
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::milliseconds(6000));
    /* Start-up may have written its own complaints before; the two SIGTERM lines end it. */
    std::string err = process.err();
    std::string lines = "Caught SIGTERM: going down\nDone SIGTERM: going down now.\n";
    ASSERT_GE(err.size(), lines.size()) << err;
    EXPECT_EQ(err.substr(err.size() - lines.size()), lines);
    std::string logged = readFile(log());
    EXPECT_NE(logged.find("Caught SIGTERM: quiting firmware"), std::string::npos);
    EXPECT_EQ(logged.find("terminateService"), std::string::npos); /* no stop sequence */
}

TEST_F(FirmwareRun, QvsLinkModesWithoutSharedMemoryExitWithStatusOne)
{
    std::ofstream(dir / "noAddresses") << "not.an.address.at.all\n";
    struct Case {
        const std::string target;
        const std::string logged;
    } cases[] = {
        {"server", "Failed to open server will not connect remotely.."},
        {dir / "noAddresses", "Remote QVs session could not be init probably bad configuration file " + dir / "noAddresses"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        unlink(log().c_str());
        FirmwareProcess process(dir);
        process.start({"-l", dir / "log4c", "-r", c.target});
        EXPECT_EQ(process.wait(5000), 1) << process.err();
        std::string logged = readFile(log());
        EXPECT_NE(logged.find(c.logged), std::string::npos);
        EXPECT_NE(logged.find("FATAL    ulm.firmware.main - main: cannot get shared memory. exiting"), std::string::npos);
    }
}

TEST_F(FirmwareRun, ServerModeTakesPcodesFromLocalAndRemotePeers)
{
    /* The boot environment gives the card the loopback address. */
    setenv("KVR_ROOT", (dir / "root").c_str(), 1);
    ASSERT_EQ(cardsimInstallStandIns(), 0);
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=127.0.0.1"}, 0x1000, 0), 0);
    unsetenv("KVR_ROOT");
    FirmwareProcess process(dir);
    process.start({"-l", dir / "log4c", "-v", "2", "-d", "0", "-r", "SERVER"});
    ASSERT_TRUE(waitForLog("Waiting for incoming connections...")) << readFile(log());
    ASSERT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
    EXPECT_NE(readFile(log()).find("Modified shmSize variable to 1366 used to be 38280"), std::string::npos);

    /* The card's own address and another peer: each gets the size word of list 0's relative chunk. */
    ASSERT_EQ(peer("-c 127.0.0.1 -b 127.0.0.1 size pcode 50 1"), 0) << readFile(dir / "peer.out");
    EXPECT_EQ(readFile(dir / "peer.out"), "1366\n");
    ASSERT_EQ(peer("-c 127.0.0.1 -b 127.0.0.7 size pcode 50 2 9 8"), 0) << readFile(dir / "peer.out");
    EXPECT_EQ(readFile(dir / "peer.out"), "1366\n");
    EXPECT_TRUE(waitForLog("Invalid Pcode received: class=5, id=1")) << readFile(log());
    EXPECT_TRUE(waitForLog("Invalid Pcode received: class=5, id=2")) << readFile(log());
    std::string logged = readFile(log());
    EXPECT_NE(logged.find("Client ip address is 127.0.0.1"), std::string::npos);
    EXPECT_NE(logged.find("client 127.0.0.1 using interface 0."), std::string::npos);
    EXPECT_NE(logged.find("client 127.0.0.7 using interface 1."), std::string::npos);
    process.signal(SIGTERM);
    EXPECT_EQ(process.wait(5000), 0);
}

/*
 * Server mode logs each pcode with its own bytes only (none for a pcode without
 * data, though the buffer still holds an earlier pcode's), and a peer that
 * closes between two pcodes as leaving, not as an error.
 */
TEST_F(FirmwareRun, ServerModeDumpsOnlyAPcodesOwnBytesAndTakesACloseAsLeaving)
{
    setenv("KVR_ROOT", (dir / "root").c_str(), 1);
    ASSERT_EQ(cardsimInstallStandIns(), 0);
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=127.0.0.1"}, 0x1000, 0), 0);
    unsetenv("KVR_ROOT");
    FirmwareProcess process(dir);
    process.start({"-l", dir / "log4c", "-v", "2", "-d", "0", "-r", "SERVER"});
    ASSERT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
    ASSERT_EQ(peer("-c 127.0.0.1 -b 127.0.0.1 pcode 50 2 9 8 7 6 5 4 3 2 1 pcode 50 3 pcode 50 4 0xAB"), 0)
        << readFile(dir / "peer.out");
    ASSERT_TRUE(waitForLog("closed the connection")) << readFile(log());
    std::string logged = readFile(log());
    EXPECT_NE(logged.find("Pcode dump, class 50, opcodeId 2, Length 9, first 8 bytes 0x0908070605040302\n"),
              std::string::npos)
        << logged;
    EXPECT_NE(logged.find("Pcode dump, class 50, opcodeId 3, Length 0, first 8 bytes 0x\n"), std::string::npos)
        << logged;
    EXPECT_NE(logged.find("Pcode dump, class 50, opcodeId 4, Length 1, first 8 bytes 0xab\n"), std::string::npos)
        << logged;
    EXPECT_NE(logged.find("instance Ip 127.0.0.1 closed the connection before the header (0 of 4 bytes read)"),
              std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("errno[0] = Success"), std::string::npos) << logged;
    process.signal(SIGTERM);
    EXPECT_EQ(process.wait(5000), 0);
}

/* Waits until `count` sockets of this network namespace listen on `port`. */
static bool waitForListeners(int port, int count)
{
    char portText[8];
    snprintf(portText, sizeof portText, ":%04X", port);
    for (int i = 0; i < 2000; i++) {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        int listening = 0;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, portText) == 0 && state == "0A")
                listening++;
        }
        if (listening >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST_F(FirmwareRun, RemoteModeConnectsToEveryAddressOfTheFile)
{
    /* The last line has no newline and keeps its last character. */
    std::ofstream(dir / "addresses") << "127.0.0.1\n127.0.0.5";
    int results[2] = {-1, -1};
    /* The peers send their pcodes once the pcode processor runs ("go" appears). */
    std::string go = dir / "go";
    std::thread local([&] { results[0] = peer("-l 127.0.0.1 size await " + firmwareTest::shellWord(go) + " pcode 50 1", "local.out"); });
    std::thread remote([&] { results[1] = peer("-l 127.0.0.5 size await " + firmwareTest::shellWord(go) + " pcode 50 2 9 8", "remote.out"); });
    ASSERT_TRUE(waitForListeners(5113, 2)) << "the peers listen before the firmware starts";
    FirmwareProcess process(dir);
    process.start({"-l", dir / "log4c", "-v", "2", "-d", "0", "-r", dir / "addresses"});
    EXPECT_TRUE(waitForLog("Starting service pcodeProcessor")) << readFile(log());
    std::ofstream(go) << "";
    local.join();
    remote.join();
    EXPECT_EQ(results[0], 0) << readFile(dir / "local.out");
    EXPECT_EQ(results[1], 0) << readFile(dir / "remote.out");
    EXPECT_EQ(readFile(dir / "local.out"), "1366\n");
    EXPECT_EQ(readFile(dir / "remote.out"), "1366\n");
    EXPECT_TRUE(waitForLog("Invalid Pcode received: class=5, id=1")) << readFile(log());
    EXPECT_TRUE(waitForLog("Invalid Pcode received: class=5, id=2")) << readFile(log());
    process.signal(SIGTERM);
    EXPECT_EQ(process.wait(5000), 0);
}

/* Connects to the SPI emulator port; true when something accepts. */
static bool emulatorPortAccepts()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(5131);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool accepted = connect(fd, (struct sockaddr *)&address, sizeof address) == 0;
    close(fd);
    return accepted;
}

TEST_F(FirmwareRun, EmulatorOptionListensBesideTheRunningFirmware)
{
    FirmwareProcess process(dir);
    process.start({"-e", "-l", dir / "log4c"});
    ASSERT_TRUE(waitForLog("Starting service pcodeProcessor"));
    EXPECT_TRUE(emulatorPortAccepts());
    process.signal(SIGTERM);
    EXPECT_EQ(process.wait(5000), 0);
    EXPECT_NE(process.out().find("SPI emulator"), std::string::npos);
}

TEST_F(FirmwareRun, EmulatedCardStopsCleanlyOnSigint)
{
    FirmwareProcess process(dir);
    process.start({"-e", "-l", dir / "log4c"});
    ASSERT_TRUE(waitForLog("Starting service pcodeProcessor"));
    process.signal(SIGINT);
    EXPECT_EQ(process.wait(10000), 0) << process.err();
    EXPECT_EQ(process.err().find("terminate called"), std::string::npos) << process.err();
    EXPECT_TRUE(waitForLog("main: firmware stopped"));
}

TEST_F(FirmwareRun, EmulatorServerServesOneClientAndBothEnd)
{
    TempDir clientDir;
    FirmwareProcess server(dir), client(clientDir);
    server.start({"-s"});
    for (int i = 0; i < 400 && server.out().find("SPI emulator") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    client.start({"-c", "-h"});
    EXPECT_EQ(client.wait(5000), 0);
    EXPECT_EQ(client.out(), ""); /* -c ends the process before -h is seen */
    EXPECT_EQ(server.wait(5000), 0);
    EXPECT_NE(server.out().find("SPI emulator: got connection"), std::string::npos) << server.out();
}

} // namespace
