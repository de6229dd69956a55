#include "utilsHost/utilsHost.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include "../main/FirmwareTestSupport.h"

using firmwareTest::readFile;
using firmwareTest::TestLog;

namespace {

log4c_category_t *category()
{
    TestLog::instance();
    return log4c_category_get("ulm.firmware.utilsHostTest");
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

TEST(RunCommand, ReturnsExitStatusOrSignal)
{
    unsetenv("KVR_ROOT");
    struct Case {
        const char *command;
        int result;
    } cases[] = {
        {"exit 0", 0},
        {"exit 2", 2},
        {"kill -TERM $$", 15},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(runCommand(category(), c.command), c.result);
    }
    EXPECT_TRUE(TestLog::instance().contains("runCommand exit 2 was executed, exit status is 2"));
    EXPECT_TRUE(TestLog::instance().contains("was terminated by signal or dumped core. terminating signal is 15"));
}

class KeyValueFileTest : public ::testing::Test {
protected:
    std::string path() { return dir / "restorepoint.rsp"; }
    TempDir dir;
};

TEST_F(KeyValueFileTest, GetCopiesTheLastMatchWithoutLineEnd)
{
    writeFile(path(), "frameRate=5994\nframeRateX=1\nmode=old\nmode=new\n");
    char value[32];
    memset(value, 'Z', sizeof value);
    EXPECT_EQ(utils_getKeyValueFromFile(category(), path().c_str(), "mode", value, sizeof value), 0);
    EXPECT_STREQ(value, "new");
    EXPECT_EQ(utils_getKeyValueFromFile(category(), path().c_str(), "frameRate", value, sizeof value), 0);
    EXPECT_STREQ(value, "5994");
    EXPECT_EQ(utils_getKeyValueFromFile(category(), path().c_str(), "frame", value, sizeof value), 3);

    EXPECT_EQ(utils_getKeyValueFromFile(category(), (dir / "missing").c_str(), "mode", value, sizeof value), 3);
}

TEST_F(KeyValueFileTest, ValuesThatDoNotFitAreRefusedNeverCut)
{
    /* 300 characters on one line: read whole, never as a second line "tail=...". */
    std::string longValue(300, 'v');
    writeFile(path(), "frameRate=5994\nlong=" + longValue.substr(0, 250) + "tail=cut\nmode=new\n");
    char small[4];
    strcpy(small, "old");
    EXPECT_EQ(utils_getKeyValueFromFile(category(), path().c_str(), "frameRate", small, sizeof small), 3);
    EXPECT_STREQ(small, "old");
    EXPECT_TRUE(TestLog::instance().contains("the value of frameRate in " + path() + " is 4 bytes, more than the 3 it may have: refused"));
    char value[512];
    EXPECT_EQ(utils_getKeyValueFromFile(category(), path().c_str(), "tail", value, sizeof value), 3);
    EXPECT_EQ(utils_getKeyValueFromFile(category(), path().c_str(), "long", value, sizeof value), 0);
    EXPECT_EQ(std::string(value), longValue.substr(0, 250) + "tail=cut");
    EXPECT_EQ(utils_getKeyValueFromFile(category(), path().c_str(), "mode", value, sizeof value), 0);
    EXPECT_STREQ(value, "new");

}

TEST_F(KeyValueFileTest, SetMovesTheKeyToTheEndAndKeepsTheOtherLines)
{
    struct Case {
        const char *name;
        const char *before;
        const char *key;
        const char *value;
        const char *after;
    } cases[] = {
        {"existing key in the middle", "a=1\nb=2\nc=3\n", "b", "9", "a=1\nc=3\nb=9\n"},
        {"existing last key", "a=1\nb=2\n", "b", "3", "a=1\nb=3\n"},
        {"new key", "a=1\n", "z", "26", "a=1\nz=26\n"},
        {"no final newline", "a=1\nb=2", "a", "0", "b=2\na=0\n"},
        {"blank line does not end the list", "a=1\n\nb=2\nc=3\n", "a", "7", "b=2\nc=3\na=7\n"},
        {"prefix of a key is another key", "ab=1\na=2\n", "a", "5", "ab=1\na=5\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(), c.before);
        EXPECT_EQ(utils_setKeyValueToFile(category(), path().c_str(), c.key, c.value), 0);
        EXPECT_EQ(readFile(path()), c.after);
    }
}

TEST_F(KeyValueFileTest, SetRefusesWhatItCannotDoAndLeavesTheFile)
{
    std::string full(UTILS_KEY_VALUE_MAX, 'x');
    full[UTILS_KEY_VALUE_MAX - 1] = '\n';
    writeFile(path(), full);
    EXPECT_EQ(utils_setKeyValueToFile(category(), path().c_str(), "k", "v"), 3); /* 65,535 bytes */
    EXPECT_EQ(readFile(path()), full);

    writeFile(path(), "");
    EXPECT_EQ(utils_setKeyValueToFile(category(), path().c_str(), "k", "v"), 3);
    EXPECT_EQ(utils_setKeyValueToFile(category(), (dir / "missing").c_str(), "k", "v"), 3);

    /* 65,534 bytes with no line end: no room for the terminators. */
    std::string unterminated = "k=" + std::string(UTILS_KEY_VALUE_MAX - 3, 'v');
    writeFile(path(), unterminated);
    EXPECT_EQ(utils_setKeyValueToFile(category(), path().c_str(), "a", "b"), 1);
    EXPECT_EQ(readFile(path()), unterminated);

    /* An entry that does not fit: overflow, file unchanged. */
    std::string nearlyFull = "k=" + std::string(UTILS_KEY_VALUE_MAX - 20, 'v') + "\n";
    writeFile(path(), nearlyFull);
    EXPECT_EQ(utils_setKeyValueToFile(category(), path().c_str(), "other", std::string(30, 'w').c_str()), 4);
    EXPECT_EQ(readFile(path()), nearlyFull);
}

TEST_F(KeyValueFileTest, FailedWriteReportsAnErrorAndKeepsTheOldFile)
{
    if (geteuid() == 0) {
        /* Root ignores directory permissions; a full file system is what fails the write then. */
        /* as root a private mount namespace can be had: failing to is a fault, not a reason to skip */
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << "unshare(CLONE_NEWNS): " << strerror(errno);
        ASSERT_EQ(system("mount --make-rprivate / 2>/dev/null"), 0) << "cannot make the mounts private";
        std::string small = dir / "small";
        mkdir(small.c_str(), 0755);
        ASSERT_EQ(system(("mount -t tmpfs -o size=8k tmpfs " + small).c_str()), 0);
        std::string file = small + "/restorepoint.rsp";
        writeFile(file, "a=1\n");
        writeFile(small + "/filler", std::string(4096, 'f'));
        EXPECT_NE(utils_setKeyValueToFile(category(), file.c_str(), "b", std::string(8000, 'v').c_str()), 0);
        EXPECT_EQ(readFile(file), "a=1\n");
        int ignored = system(("umount " + small).c_str());
        (void)ignored;
        return;
    }
    writeFile(path(), "a=1\n");
    chmod(dir.path().c_str(), 0555);
    EXPECT_EQ(utils_setKeyValueToFile(category(), path().c_str(), "b", "2"), 3);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(readFile(path()), "a=1\n");
}

TEST(KeyValueBuffer, GetAndSet)
{
    const char text[] = "\nrouter=2\nstream=abc\n";
    char value[8];
    EXPECT_EQ(utils_getKeyValueFromBuffer(category(), text, sizeof text - 1, "stream", value, sizeof value), 0);
    EXPECT_STREQ(value, "abc");
    EXPECT_EQ(utils_getKeyValueFromBuffer(category(), text, sizeof text - 1, "rout", value, sizeof value), 3);
    /* A value that does not fit is refused, never cut. */
    char small[3] = "zz";
    EXPECT_EQ(utils_getKeyValueFromBuffer(category(), text, sizeof text - 1, "stream", small, sizeof small), 3);
    EXPECT_STREQ(small, "zz");

    char buffer[32] = "a=1\nb=2\n";
    size_t size = strlen(buffer);
    EXPECT_EQ(utils_setKeyValueToBuffer(category(), buffer, &size, sizeof buffer, "a", "3"), 0);
    EXPECT_EQ(std::string(buffer, size), "b=2\na=3\n");
    EXPECT_EQ(buffer[size], '\0');

    /* Too big for the capacity: refused, buffer unchanged. */
    EXPECT_EQ(utils_setKeyValueToBuffer(category(), buffer, &size, sizeof buffer, "long", std::string(40, 'x').c_str()), 4);
    EXPECT_EQ(std::string(buffer, size), "b=2\na=3\n");
    size_t tooBig = 65536;
    EXPECT_EQ(utils_setKeyValueToBuffer(category(), buffer, &tooBig, sizeof buffer, "a", "1"), 4);
    EXPECT_EQ(utils_setKeyValueToBuffer(category(), nullptr, &size, sizeof buffer, "a", "1"), 4);
}

} // namespace
