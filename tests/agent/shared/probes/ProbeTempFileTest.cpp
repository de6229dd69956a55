// The probe data file: private, under TMPDIR, emptied before each use and
// never followed through a link put in its place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "ProbeTempFile.h"

namespace {

class ProbeTempFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir = testing::TempDir() + "probetmp" + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        setenv("TMPDIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("TMPDIR");
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    static off_t sizeOf(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
    }
    std::string dir;
};

TEST_F(ProbeTempFileTest, PrivateUnderTmpdirAndEmptiedBeforeEachUse)
{
    std::string path;
    {
        ProbeTempFile file;
        path = file.prepare();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(path.rfind(dir + "/ovd", 0), 0u) << path;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        std::ofstream(path) << "tuples of the last request";
        EXPECT_GT(sizeOf(path), 0);
        EXPECT_EQ(file.prepare(), path) << "the name is kept";
        EXPECT_EQ(sizeOf(path), 0);

        // A link put in its place is not followed: a new private file is made.
        std::string victim = dir + "/victim";
        std::ofstream(victim) << "keep me";
        unlink(path.c_str());
        ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
        std::string again = file.prepare();
        ASSERT_FALSE(again.empty());
        EXPECT_EQ(sizeOf(victim), 7);
        EXPECT_NE(again, path);
        path = again;
    }
    EXPECT_EQ(sizeOf(path), -1) << "removed with its owner";
}

TEST_F(ProbeTempFileTest, NoWritableTmpdirSaysSo)
{
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    ProbeTempFile file;
    testing::internal::CaptureStderr();
    EXPECT_EQ(file.prepare(), "");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("ERROR: Could not get temp file name. Please check your TMP and TMPDIR environment variables."),
              std::string::npos)
        << out;
}

} // namespace
