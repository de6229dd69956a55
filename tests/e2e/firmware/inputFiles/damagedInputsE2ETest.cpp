/*
 * Damaged values in the files the daemon reads at start-up, on the real
 * kvr-firmware with the card emulator in private IPC and network namespaces:
 * configuration.xml values of the wrong type or range, a boot-environment
 * configuration with a size no flash holds, and a restore point with NUL
 * bytes. Each is refused with a line naming the file and the value, the
 * default stands, and the daemon goes on with everything else.
 */

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../DaemonTestSupport.h"
#include "cardsim/cardsim.h"

using firmwareTest::readFile;

namespace {

size_t countIn(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

bool connectsOn(uint16_t port)
{
    for (int attempt = 0; attempt < 200; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, (sockaddr *)&address, sizeof address) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class DamagedInputs : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc", "root/dev", "root/dev/shm"});
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }
    std::string configPath() { return dir / "root/usr/local/q7/firmware/configuration.xml"; }
    std::string restorePoint() { return dir / "root/usr/local/q7/firmware/restorepoint.rsp"; }
    bool waitForLog(const std::string &needle, int milliseconds = 20000)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, milliseconds);
    }
    TempDir dir;
    pid_t pid = -1;
};

/* One parameter of configuration.xml, what the file says, and what the daemon must do with it. */
struct ConfigValue {
    const char *name;      /* the service's name element */
    const char *parameter; /* null: the service is only named (its values follow in other rows) */
    const char *text;      /* null: the parameter is missing from the file */
    const char *refused;   /* the refusal after "<file>: " */
    const char *then;      /* a line that shows the default at work */
};

const ConfigValue configValues[] = {
    {"pcodeProcessor", "enable", "yes",
     "service.pcodeProcessor.enable = \"yes\" refused, it is not a whole number from 0 to 1: 0 used",
     "Not starting service pcodeProcessor"},
    {"layoutManager", "enable", "2",
     "service.layoutManager.enable = \"2\" refused, it is not a whole number from 0 to 1: 0 used",
     "Not starting service layoutManager"},
    {"hdrManager", "enable", "1abc",
     "service.hdrManager.enable = \"1abc\" refused, it is not a whole number from 0 to 1: 0 used",
     "Not starting service hdrManager"},
    {"debuger", "enable", "1", nullptr, "Starting service debuger"},
    {"debuger", "postponeStartup", "-1",
     "service.debuger.postponeStartup = \"-1\" refused, it is not a whole number from 0 to 2147483647: 0 used",
     "Service debuger must be created now (postponeStartup defined = 0)"},
    {"persistentDataStorage", "enable", "1", nullptr, "Starting service persistentDataStorage"},
    {"persistentDataStorage", "postponeStartup", "99999999999",
     "service.persistentDataStorage.postponeStartup = \"99999999999\" refused, it is not a whole number from 0 to "
     "2147483647: 0 used",
     "Service persistentDataStorage must be created now (postponeStartup defined = 0)"},
    {"systemConfigHandler", "postponeStartup", "soon",
     "service.systemConfigHandler.postponeStartup = \"soon\" refused, it is not a whole number from 0 to 2147483647: "
     "0 used",
     "Service systemConfigHandler must be created now (postponeStartup defined = 0)"},
    {"fifoServer", "enable", "1", nullptr, "Starting service fifoServer"},
    {"fifoServer", "portA", "70000",
     "service.fifoServer.portA = \"70000\" refused, it is not a whole number from 1 to 65535: 6001 used",
     "Will bind port 6001 "},
    {"fifoServer", "portB", "-1",
     "service.fifoServer.portB = \"-1\" refused, it is not a whole number from 1 to 65535: 6002 used",
     "Will bind port 6002 "},
    {"fifoServer", "portC", nullptr, "service.fifoServer.portC is not set: 6003 used", "Will bind port 6003 "},
    {"fifoServer", "portD", "abc",
     "service.fifoServer.portD = \"abc\" refused, it is not a whole number from 1 to 65535: 6004 used",
     "Will bind port 6004 "},
    {"fifoServer", "portE", " 7005 ", nullptr, "Will bind port 7005 "},
    {"fifoServer", "portF", "7006", nullptr, "Will bind port 7006 "},
};

TEST_F(DamagedInputs, ConfigurationValuesOfTheWrongTypeOrRangeAreRefusedAndTheirDefaultsUsed)
{
    std::ofstream config(configPath());
    config << "<configuration><version>1.0</version><service>";
    for (const ConfigValue &v : configValues) {
        config << "<name>" << v.name << "</name>";
        if (v.parameter && v.text)
            config << "<" << v.parameter << ">" << v.text << "</" << v.parameter << ">";
    }
    config << "</service></configuration>\n";
    config.close();
    std::ofstream(dir / "root/etc/cardsim.conf") << "slot=0\n";

    pid = firmwareTest::startEmulatedDaemon(dir);
    ASSERT_TRUE(waitForLog("Will bind port 7006 ")) << readFile(log());
    ASSERT_TRUE(waitForLog("Starting service persistentDataStorage")) << readFile(log());
    std::string logged = readFile(log());
    for (const ConfigValue &v : configValues) {
        SCOPED_TRACE(std::string(v.name) + "." + (v.parameter ? v.parameter : "") + " = " + (v.text ? v.text : "(missing)"));
        if (v.refused) {
            EXPECT_EQ(countIn(logged, configPath() + ": " + v.refused), 1u) << logged;
        } else if (v.parameter) {
            EXPECT_EQ(logged.find(std::string("service.") + v.name + "." + v.parameter + " "), std::string::npos)
                << logged;
        }
        EXPECT_NE(logged.find(v.then), std::string::npos) << logged;
    }
    /* The ports the refused values left to their defaults are served. */
    EXPECT_TRUE(connectsOn(6001));
    EXPECT_TRUE(connectsOn(6003));
    EXPECT_TRUE(connectsOn(7005));
    EXPECT_EQ(logged.find("Will bind port 4464"), std::string::npos);
    EXPECT_EQ(logged.find("Will bind port 65535"), std::string::npos);
    EXPECT_EQ(logged.find("Will bind port 0 "), std::string::npos);
}

/* A boot-environment configuration and what the daemon says of it, once, on standard error. */
struct BootEnvironment {
    const char *name;
    const char *config;  /* /etc/fw_env.config */
    bool validBlock;     /* /dev/mtd2 holds a block with a good CRC (else a bad one) */
    const char *printed; /* printed exactly once during start-up */
};

const BootEnvironment bootEnvironments[] = {
    {"size beyond any memory", "/dev/mtd2 0x0 0x7fffffffffff 0x2000\n", true,
     "Boot environment: line 1 of /etc/fw_env.config: environment size 0x7fffffffffff of /dev/mtd2 is not plausible "
     "(0x6 to 0x100000 bytes): configuration refused, the boot environment is not read and every variable keeps its "
     "default\n"},
    {"one GiB", "# flash\n/dev/mtd2 0x0 0x40000000 0x2000\n", true,
     "Boot environment: line 2 of /etc/fw_env.config: environment size 0x40000000 of /dev/mtd2 is not plausible "
     "(0x6 to 0x100000 bytes): configuration refused, the boot environment is not read and every variable keeps its "
     "default\n"},
    {"second copy of one GiB", "/dev/mtd2 0x0 0x2000 0x2000\n/dev/mtd2 0x2000 0x40000000 0x2000\n", true,
     "Boot environment: line 2 of /etc/fw_env.config: environment size 0x40000000 of /dev/mtd2 is not plausible "
     "(0x6 to 0x100000 bytes): configuration refused, the boot environment is not read and every variable keeps its "
     "default\n"},
    {"too small for a CRC", "/dev/mtd2 0x0 0x4 0x2000\n", true,
     "Boot environment: line 1 of /etc/fw_env.config: environment size 0x4 of /dev/mtd2 is not plausible "
     "(0x6 to 0x100000 bytes): configuration refused, the boot environment is not read and every variable keeps its "
     "default\n"},
    /* A plausible block is read once, not again for every variable. */
    {"bad CRC, read once", "/dev/mtd2 0x0 0x2000 0x2000\n", false, "Warning: Bad CRC, using default environment\n"},
};

TEST_F(DamagedInputs, ImplausibleBootEnvironmentSizesAreRefusedOnceAndTheBlockIsNotReadForEveryVariable)
{
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "debuger"});
    for (const BootEnvironment &b : bootEnvironments) {
        SCOPED_TRACE(b.name);
        setenv("KVR_ROOT", (dir / "root").c_str(), 1);
        ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.1.2.3", "serial#=KV123"}, 0x2000, 0), 0);
        unsetenv("KVR_ROOT");
        if (!b.validBlock) {
            std::fstream flash(dir / "root/dev/mtd2", std::ios::in | std::ios::out | std::ios::binary);
            flash.seekp(6);
            flash.put('#');
        }
        std::ofstream(dir / "root/etc/fw_env.config") << b.config;
        unlink(log().c_str());
        auto begin = std::chrono::steady_clock::now();
        pid = firmwareTest::startDaemon(dir, {"-e", "-l", dir / "log4c", "-d", "0"}, true);
        ASSERT_TRUE(waitForLog("Starting service debuger", 30000)) << readFile(dir / "stderr") << readFile(log());
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
        EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the daemon ended during start-up";
        std::string printed = readFile(dir / "stderr");
        EXPECT_EQ(countIn(printed, b.printed), 1u) << printed;
        EXPECT_EQ(printed.find("bad_alloc"), std::string::npos) << printed;
        kill(pid, SIGINT);
        int status = -1;
        for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) != pid; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        firmwareTest::killDaemon(pid);
    }
}

/* The bytes of a literal, NULs included. */
template <size_t N> std::string textOf(const char (&text)[N])
{
    return std::string(text, N - 1);
}

/* A restore point file with NUL bytes, the keys that must still be read, and the refusal. */
struct RestorePointFile {
    const char *name;
    std::string text;
    const char *refused; /* after "dropNulLines: the Restore Point file ... holds a NUL byte at offset " */
};

const RestorePointFile restorePointFiles[] = {
    {"NUL inside a line before the calibration",
     textOf("version=1.1\nslot=4\nbroken=ab\0cd\nHDR_CALIBRATION_INPUT_1=040002020100e80301000000\nafter=1\n"),
     "28 (line 3): 1 line(s) holding NUL bytes dropped, the 4 other line(s) kept"},
    {"NUL first, before the version",
     textOf("\0\nversion=1.1\nslot=4\nHDR_CALIBRATION_INPUT_1=040002020100e80301000000\nafter=1\n"),
     "0 (line 1): 1 line(s) holding NUL bytes dropped, the 4 other line(s) kept"},
    {"NUL padding after the last line",
     textOf("version=1.1\nslot=4\nHDR_CALIBRATION_INPUT_1=040002020100e80301000000\nafter=1\n\0\0\0\0"),
     "76 (line 5): 1 line(s) holding NUL bytes dropped, the 4 other line(s) kept"},
};

TEST_F(DamagedInputs, ARestorePointWithNulBytesLosesNoKeyBehindThem)
{
    firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "persistentDataStorage", "hdrManager"});
    std::ofstream(dir / "root/etc/cardsim.conf") << "cardType=4\n";
    const uint8_t ulmHeader[32] = {0};
    std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
        .write((const char *)ulmHeader, sizeof ulmHeader);
    for (const RestorePointFile &r : restorePointFiles) {
        SCOPED_TRACE(r.name);
        std::ofstream(restorePoint(), std::ios::binary) << r.text;
        unlink(log().c_str());
        pid = firmwareTest::startEmulatedDaemon(dir);
        ASSERT_TRUE(waitForLog("Starting service hdrManager")) << readFile(log());
        EXPECT_TRUE(waitForLog("dropNulLines: the Restore Point file /usr/local/q7/firmware/restorepoint.rsp holds a "
                               "NUL byte at offset " +
                               std::string(r.refused)))
            << readFile(log());
        /* The keys behind the NUL are read: the calibration reaches the HDR manager. */
        EXPECT_TRUE(waitForLog("HDR Video Input Calibration : HDR_CALIBRATION_INPUT_1 is present in RestorePoint!"))
            << readFile(log());
        EXPECT_EQ(readFile(log()).find("Error, no restore point loaded"), std::string::npos) << readFile(log());

        /* A key set now is saved with every key of the file but the broken line. */
        ASSERT_EQ(firmwareTest::runQvsPeer("pcode 10 19 4 2 1 2 1 0 0x03 0xe8 1 0 0 0", dir / "peer.out", false), 0)
            << readFile(dir / "peer.out");
        std::string saved;
        for (int i = 0; i < 250; i++) {
            saved = readFile(restorePoint());
            if (saved.find("HDR_CALIBRATION_INPUT_3=") != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (const char *line : {"version=1.1\n", "slot=4\n", "HDR_CALIBRATION_INPUT_1=040002020100e80301000000\n",
                                 "after=1\n", "HDR_CALIBRATION_INPUT_3=040201020100e80301000000\n"})
            EXPECT_NE(saved.find(line), std::string::npos) << line << " in " << saved;
        EXPECT_EQ(saved.find('\0'), std::string::npos);
        EXPECT_EQ(saved.find("broken"), std::string::npos);
        firmwareTest::stopDaemon(dir, pid);
    }
}

} // namespace
