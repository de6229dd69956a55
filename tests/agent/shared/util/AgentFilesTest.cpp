#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "../../../support/TempDir.h"
#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "TempFiles.h"

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Points TMPDIR at a private directory for the length of a test.
class TmpdirGuard {
public:
    explicit TmpdirGuard(const std::string &dir)
    {
        const char *old = getenv("TMPDIR");
        had = old != nullptr;
        if (had)
            saved = old;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TmpdirGuard()
    {
        if (had)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    bool had;
    std::string saved;
};

mode_t modeOf(const std::string &path)
{
    struct stat st;
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// A session whose state fields a test can set.
class StateSession : public ProfilingSession {
public:
    StateSession()
    {
        sessionState = 2;
        jvmti11 = 1;
        restrictedJvmti11 = 1;
        vmName = "VM";
        vmVersion = "17";
        vmStartWallClock = 0x0102030405060708LL;
        vmIdentifier = 0x1122334455667788LL;
    }
};

} // namespace

TEST(TempFilesTest, PrivateFilesAndDirectoriesUnderTmpdir)
{
    TempDir dir;
    TmpdirGuard guard(dir.path());
    EXPECT_EQ(TempFiles::tempDirectory(), dir.path());
    std::string a, b;
    int fa = TempFiles::createFile("jag", a);
    int fb = TempFiles::createFile("jag", b);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fb, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(dir.path() + "/jag", 0), 0u) << a;
    EXPECT_EQ(modeOf(a), 0600u);
    close(fa);
    close(fb);
    std::string d = TempFiles::createDirectory("jscl");
    EXPECT_EQ(d.rfind(dir.path() + "/jscl", 0), 0u) << d;
    EXPECT_EQ(modeOf(d), 0700u);

    TmpdirGuard missing(dir / "no/such/dir");
    std::string none;
    EXPECT_EQ(TempFiles::createFile("ovs", none), -1);
    EXPECT_EQ(TempFiles::createDirectory("jscl"), "");
    unsetenv("TMPDIR");
    EXPECT_EQ(TempFiles::tempDirectory(), "/tmp");
}

TEST(MessageUtilTest, DebugOutputGoesToTmpdirAndFollowsNoLink)
{
    TempDir dir;
    TmpdirGuard guard(dir.path());
    std::string target = dir / "victim";
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), (dir / "orvane.debug.out").c_str()), 0);
    MessageUtil::closeDebugOut();
    testing::internal::CaptureStderr();
    MessageUtil::debugOut("secret %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(readFile(target), "keep") << "a planted link is not followed";

    unlink((dir / "orvane.debug.out").c_str());
    testing::internal::CaptureStderr();
    MessageUtil::debugOut("value %d\n", 42);
    MessageUtil::debugOut("again\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Orvane> writing debug output to " + (dir / "orvane.debug.out") + ".\n");
    MessageUtil::closeDebugOut();
    EXPECT_EQ(readFile(dir / "orvane.debug.out"), "value 42\nagain\n");
    EXPECT_EQ(modeOf(dir / "orvane.debug.out"), 0600u);
}

TEST(ProfilingSessionTest, StateReplyBytes)
{
    TempDir dir;
    TmpdirGuard guard(dir.path());
    StateSession session;
    const unsigned char noFile[] = {0};
    ByteArrayDataReader request(noFile, 1);
    CharVectorDataWriter reply;
    session.handleCmdGetState(&request, &reply);
    reply.flush();
    const unsigned char expect[] = {
        0, 0, 0, 2,                            // session state
        0, 1, 1,                               // interface kind, jvmti 1.1, restricted 1.1
        0, 2, 'V', 'M', 0, 2, '1', '7',        // VM name and version
        0, 0, 0, 0, 0, 0, 0, 0,                // snapshot time
        0, 0, 0, 0, 0, 0, 0, 0,                // snapshot wall clock
        1, 2, 3, 4, 5, 6, 7, 8,                // VM start wall clock
        0, 0, 0, 3,                            // call-tree collection method
        1,                                     // array allocations recorded
        0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, // VM identifier
        0, 0,                                  // no temporary file
    };
    std::vector<char> &bytes = reply.getBytes();
    ASSERT_EQ(bytes.size(), sizeof expect);
    EXPECT_EQ(0, memcmp(bytes.data(), expect, sizeof expect));

    const unsigned char wantFile[] = {1};
    ByteArrayDataReader again(wantFile, 1);
    CharVectorDataWriter withFile;
    session.handleCmdGetState(&again, &withFile);
    withFile.flush();
    std::vector<char> &b = withFile.getBytes();
    ByteArrayDataReader tail(b.data() + sizeof expect - 2, static_cast<int>(b.size() - (sizeof expect - 2)));
    char *name = tail.readString(nullptr);
    ASSERT_NE(name, nullptr);
    std::string path = name;
    delete[] name;
    EXPECT_EQ(path.rfind(dir.path() + "/ovs", 0), 0u) << path;
    EXPECT_EQ(modeOf(path), 0600u);
}
