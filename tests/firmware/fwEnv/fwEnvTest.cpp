#include "fwEnv/fwEnv.h"

#include "cardsim/cardsim.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "../main/FirmwareTestSupport.h"

namespace {

class FwEnv : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KVR_ROOT", root.path().c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        mkdir((root / "dev").c_str(), 0755);
        mkdir((root / "dev/shm").c_str(), 0700);
    }
    void TearDown() override { unsetenv("KVR_ROOT"); }
    std::string flash() { return firmwareTest::readFile(root / "dev/mtd2"); }
    /* The data area of the copy at `offset` of a block of `size` bytes. */
    std::string dataArea(size_t offset, size_t size, int redundant)
    {
        return flash().substr(offset + 4, size - (redundant ? 5 : 4));
    }
    uint32_t storedCrc(size_t offset)
    {
        std::string f = flash();
        return (uint32_t)(uint8_t)f[offset] | (uint32_t)(uint8_t)f[offset + 1] << 8 |
               (uint32_t)(uint8_t)f[offset + 2] << 16 | (uint32_t)(uint8_t)f[offset + 3] << 24;
    }
    void corrupt(size_t at)
    {
        std::fstream file(root / "dev/mtd2", std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((std::streamoff)at);
        file.put('#');
    }
    TempDir root;
};

TEST(FwEnvCrc, MatchesTheStandardCheckValue)
{
    const char *text = "123456789";
    EXPECT_EQ(fwEnvCrc32((const uint8_t *)text, 9), 0xCBF43926u);
}

TEST_F(FwEnv, SetReplacesAnEntryAtTheEndAndRewritesTheCrc)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2", "sfp1disable=0", "netmask=255.0.0.0"}, 0x100, 0), 0);
    const char *argv[] = {"fw_setenv", "sfp1disable", "1"};
    ASSERT_EQ(fwEnvSetEnv(3, argv), 0);
    std::string data = dataArea(0, 0x100, 0);
    std::string expected("ipaddr=10.0.0.2\0netmask=255.0.0.0\0sfp1disable=1\0\0", 49);
    EXPECT_EQ(data.substr(0, expected.size()), expected);
    EXPECT_EQ(data.find_first_not_of('\0', expected.size()), std::string::npos);
    EXPECT_EQ(storedCrc(0), fwEnvCrc32((const uint8_t *)data.data(), data.size()));
    EXPECT_STREQ(fwEnvGetEnv("sfp1disable"), "1");
}

TEST_F(FwEnv, SetWithoutValueDeletesAndWordsAreJoined)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2", "bootargs=a"}, 0x100, 0), 0);
    const char *del[] = {"fw_setenv", "ipaddr"};
    ASSERT_EQ(fwEnvSetEnv(2, del), 0);
    EXPECT_EQ(fwEnvGetEnv("ipaddr"), nullptr);
    const char *words[] = {"fw_setenv", "bootargs", "root=/dev/nfs", "ip=dhcp"};
    ASSERT_EQ(fwEnvSetEnv(4, words), 0);
    EXPECT_STREQ(fwEnvGetEnv("bootargs"), "root=/dev/nfs ip=dhcp");
    const char *tooFew[] = {"fw_setenv"};
    EXPECT_EQ(fwEnvSetEnv(1, tooFew), 22);
}

TEST_F(FwEnv, SearchMatchesWholeNamesOnly)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2"}, 0x100, 0), 0);
    EXPECT_EQ(fwEnvGetEnv("ip"), nullptr);
    EXPECT_EQ(fwEnvGetEnv("ipaddr=10"), nullptr);
    EXPECT_STREQ(fwEnvGetEnv("ipaddr"), "10.0.0.2");
}

TEST_F(FwEnv, OverflowWritesNothing)
{
    ASSERT_EQ(cardsimFlashWrite({"a=1"}, 0x20, 0), 0);
    std::string before = flash();
    const char *argv[] = {"fw_setenv", "averyveryverylongname", "andalongvalue"};
    EXPECT_EQ(fwEnvSetEnv(3, argv), -1);
    EXPECT_EQ(flash(), before);
}

/*
 * A first copy with a bad CRC: without a good copy the default environment is
 * used; a good redundant copy is used and spread to the bad one; a failed copy
 * (both bad, the last one erased) is never re-checksummed into use.
 */
TEST_F(FwEnv, ACopyWithABadCrcIsReplacedByAGoodOneOrTheDefaults)
{
    const struct {
        const char *name;
        int redundant;
        bool eraseSecond;
        const char *ipaddr; /* null: the default environment, which has a bootcmd */
        bool copiesEqual;
        bool flashUntouched;
    } cases[] = {
        {"bad CRC without a good copy gives the default environment", 0, false, nullptr, false, false},
        {"a redundant copy with a good CRC is spread to the bad one", 1, false, "10.0.0.2", true, false},
        {"a failed copy is never re-checksummed into use", 1, true, nullptr, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2"}, 0x100, c.redundant), 0);
        corrupt(6);
        if (c.eraseSecond) {
            std::fstream file(root / "dev/mtd2", std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(0x2000);
            std::string erased(0x100, '\xFF');
            file.write(erased.data(), (std::streamsize)erased.size());
        }
        std::string before = flash();
        if (c.ipaddr) {
            EXPECT_STREQ(fwEnvGetEnv("ipaddr"), c.ipaddr);
        } else {
            EXPECT_EQ(fwEnvGetEnv("ipaddr"), nullptr);
            EXPECT_NE(fwEnvGetEnv("bootcmd"), nullptr);
        }
        if (c.copiesEqual) {
            EXPECT_EQ(flash().substr(0, 0x100), flash().substr(0x2000, 0x100));
        }
        if (c.flashUntouched) {
            EXPECT_EQ(flash(), before);
        }
    }
}

/* A flash file that ends early is a short read, said as such (not the errno of whatever failed before). */
TEST_F(FwEnv, AShortFlashFileIsReportedAsAShortRead)
{
    const struct {
        off_t length;
        const char *printed;
    } cases[] = {
        {2, "CRC read error on /dev/mtd2: short read, 2 of 4 bytes\n"},
        {0x80, "Read error on /dev/mtd2: short read, 124 of 252 bytes\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2"}, 0x100, 0), 0);
        ASSERT_EQ(truncate((root / "dev/mtd2").c_str(), c.length), 0);
        errno = ENOENT;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(fwEnvGetEnv("ipaddr"), nullptr);
        std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
    }
}

TEST_F(FwEnv, ValuesStayValidAcrossLaterLoads)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2", "netmask=255.0.0.0"}, 0x100, 0), 0);
    const char *ip = fwEnvGetEnv("ipaddr");
    ASSERT_NE(ip, nullptr);
    const char *argv[] = {"fw_setenv", "ipaddr", "192.168.1.1"};
    ASSERT_EQ(fwEnvSetEnv(3, argv), 0);
    for (int i = 0; i < 5; i++)
        fwEnvGetEnv("netmask");
    EXPECT_STREQ(ip, "10.0.0.2");
    /* The copy is of the value now stored, whole or not at all. */
    char copy[12];
    EXPECT_EQ(fwEnvGetEnvCopy("ipaddr", copy, sizeof copy), 0);
    EXPECT_STREQ(copy, "192.168.1.1");
    char tooSmall[8];
    EXPECT_EQ(fwEnvGetEnvCopy("ipaddr", tooSmall, sizeof tooSmall), -1);
}

/*
 * Starts the lock holder (a process of its own, as every user of the boot
 * environment is) and waits until it holds the lock. Its pid, or -1.
 */
pid_t startLockHolder(const char *mode)
{
    int fromHolder[2];
    if (pipe(fromHolder) != 0)
        return -1;
    pid_t holder = fork();
    if (holder == 0) {
        dup2(fromHolder[1], 1);
        close(fromHolder[0]);
        close(fromHolder[1]);
        execl(FW_ENV_LOCK_HOLDER, FW_ENV_LOCK_HOLDER, mode, (char *)nullptr);
        _exit(127);
    }
    close(fromHolder[1]); /* a holder that ends early ends our read instead of hanging it */
    struct pollfd ready = {fromHolder[0], POLLIN, 0};
    char c = 0;
    bool locked = poll(&ready, 1, 10000) == 1 && read(fromHolder[0], &c, 1) == 1 && c == 'L';
    close(fromHolder[0]);
    if (!locked) {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        return -1;
    }
    return holder;
}

TEST_F(FwEnv, TheLockIsSharedBetweenProcesses)
{
    ASSERT_EQ(cardsimFlashWrite({"a=1"}, 0x100, 0), 0);
    fwEnvInitMutex();
    struct stat st;
    ASSERT_EQ(stat((root / "dev/shm/fwEnvSharedMem").c_str(), &st), 0);
    EXPECT_EQ((size_t)st.st_size, sizeof(fwEnvShared_t)); /* the whole mutex lies inside the object */
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    pid_t holder = startLockHolder("2");
    ASSERT_GT(holder, 0) << "the other process never took the lock";
    /* It holds the lock while it writes: our read waits and sees its value. */
    EXPECT_STREQ(fwEnvGetEnv("a"), "2");
    int status = -1;
    waitpid(holder, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST_F(FwEnv, ALockHolderThatDiesDoesNotBlockTheOthers)
{
    ASSERT_EQ(cardsimFlashWrite({"a=1"}, 0x100, 0), 0);
    fwEnvInitMutex();
    pid_t holder = startLockHolder("die");
    ASSERT_GT(holder, 0);
    int status = -1;
    waitpid(holder, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(fwEnvGetEnv("a"), "1");
}

} // namespace

namespace {

/* Nothing of the boot environment is cut to fit: what does not fit is refused and said. */
TEST_F(FwEnv, WhatDoesNotFitIsRefusedNeverCut)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.21", "bootargs=" + std::string(300, 'b')}, 0x400, 0), 0);
    struct Case {
        const char *name;
        const char *variable;
        size_t size;
        int result;
        const char *value;   /* when found */
        const char *printed; /* on stderr, or null */
    } cases[] = {
        {"fits exactly", "ipaddr", 12, 0, "10.0.0.21", nullptr},
        {"one character short", "ipaddr", 9, -1, nullptr,
         "Environment value of ipaddr is 9 characters, more than the 8 its reader holds: not used"},
        {"longer than any reader", "bootargs", 256, -1, nullptr,
         "Environment value of bootargs is 300 characters, more than the 255 its reader holds: not used"},
        {"absent", "nothing", 16, -1, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> value(c.size, 'Q');
        ::testing::internal::CaptureStderr();
        int result = fwEnvGetEnvCopy(c.variable, value.data(), value.size());
        std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.result);
        if (c.value) {
            EXPECT_STREQ(value.data(), c.value);
        } else {
            EXPECT_EQ(std::string(value.begin(), value.end()), std::string(c.size, 'Q'));
        }
        if (c.printed) {
            EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
        } else {
            EXPECT_EQ(printed, "");
        }
    }
}

TEST_F(FwEnv, ConfigLineLongerThanItsBufferIsSkippedWholeNotReadAsTwo)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.21"}, 0x100, 0), 0);
    std::string config = firmwareTest::readFile(root / "etc/fw_env.config");
    /* The tail of the long comment looks like a second copy: read as a line of its own it would be one. */
    std::string comment = "#" + std::string(300, ' ') + "/dev/mtd9 0x0 0x100 0x100\n";
    std::ofstream(root / "etc/fw_env.config") << comment << config;
    ::testing::internal::CaptureStderr();
    const char *value = fwEnvGetEnv("ipaddr");
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_STREQ(value, "10.0.0.21");
    EXPECT_NE(printed.find("Line 1 of /etc/fw_env.config is longer than 254 characters: skipped"), std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("mtd9"), std::string::npos) << printed;
}

/*
 * Reads after the first reuse the loaded block, yet see every change another
 * writer makes (a new CRC word) and every change of the configuration; a
 * size no boot loader keeps is refused, printed once, and no variable is read.
 */
TEST_F(FwEnv, RepeatedReadsSeeOtherWritersAndRefuseImplausibleSizes)
{
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.2"}, 0x100, 0), 0);
    EXPECT_STREQ(fwEnvGetEnv("ipaddr"), "10.0.0.2");
    /* Another process's fw_setenv: the same device file, a new block and CRC. */
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.3"}, 0x100, 0), 0);
    EXPECT_STREQ(fwEnvGetEnv("ipaddr"), "10.0.0.3");
    /* A bad block read again and again prints its warning once. */
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.6"}, 0x100, 0), 0);
    corrupt(6);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(fwEnvGetEnv("ipaddr"), nullptr);
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "Warning: Bad CRC, using default environment\n");

    const struct {
        const char *config;
        const char *printed;
    } cases[] = {
        {"/dev/mtd2 0x0 0x40000000 0x2000\n", "environment size 0x40000000 of /dev/mtd2"},
        {"/dev/mtd2 0x0 0x100001 0x2000\n", "environment size 0x100001 of /dev/mtd2"},
        {"/dev/mtd2 0x0 0x5 0x2000\n", "environment size 0x5 of /dev/mtd2"},
        {"/dev/mtd2 0x0 0x100 0x100\n/dev/mtd2 0x2000 0xffffffffffff 0x100\n",
         "line 2 of /etc/fw_env.config: environment size 0xffffffffffff of /dev/mtd2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.4"}, 0x100, 0), 0);
        std::ofstream(root / "etc/fw_env.config") << c.config;
        ::testing::internal::CaptureStderr();
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(fwEnvGetEnv("ipaddr"), nullptr);
        const char *argv[] = {"fw_setenv", "ipaddr", "10.0.0.9"};
        EXPECT_EQ(fwEnvSetEnv(3, argv), -1);
        printed = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
        EXPECT_EQ(printed.find("is not plausible (0x6 to 0x100000 bytes): configuration refused"),
                  printed.rfind("is not plausible (0x6 to 0x100000 bytes): configuration refused"))
            << "said once: " << printed;
        EXPECT_EQ(firmwareTest::readFile(root / "dev/mtd2").find("10.0.0.9"), std::string::npos);
    }
    /* The largest plausible size is read. */
    ASSERT_EQ(cardsimFlashWrite({"ipaddr=10.0.0.5"}, 0x100000, 0), 0);
    EXPECT_STREQ(fwEnvGetEnv("ipaddr"), "10.0.0.5");
}

} // namespace
