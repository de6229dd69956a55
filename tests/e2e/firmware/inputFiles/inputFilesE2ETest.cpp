/*
 * The files the daemon reads at start-up, each too large for what holds it,
 * empty, and missing, on the real kvr-firmware with the card emulator in
 * private IPC and network namespaces. A file too large is refused with a line
 * naming it and its size, stays on disk as it was, and the daemon goes on as
 * it does for a file it cannot read. Nothing is ever cut to fit.
 */

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "../DaemonTestSupport.h"

using firmwareTest::readFile;

namespace {

enum Variant { OVERSIZE, EMPTY, MISSING };
const char *const variantNames[] = {"oversize", "empty", "missing"};

struct InputFile {
    const char *name;
    const char *cardPath;     /* under the card root */
    size_t oversize;          /* one byte more than what holds it, or clearly above */
    const char *refused;      /* the refusal; {path} stands for the file's path under the card root */
    const char *empty;        /* what an empty file logs (null: nothing particular) */
    const char *missing;      /* what a missing file logs */
    const char *asUnreadable; /* what follows a refusal, as for a file that cannot be read (null: nothing) */
};

const InputFile inputFiles[] = {
    {"layout.bin", "/usr/local/q7/firmware/layout.bin", 39194 + 1,
     "layoutReadFile: {path} is 39195 bytes, more than the 39194 of a layout file: not loaded",
     "layoutReadFile: {path} is 0 bytes, less than the 39194 of a layout file: not loaded",
     "LayoutManager: ERROR ERROR ERROR!!! Not loaded ANY default bin BIG PROBLEMS MAY arise!",
     "LayoutManager: ERROR ERROR ERROR!!! Not loaded ANY default bin BIG PROBLEMS MAY arise!"},
    {"restore point (75 KB)", "/usr/local/q7/firmware/restorepoint.rsp", 75 * 1024,
     "loadFile: the file /usr/local/q7/firmware/restorepoint.rsp is 76800 bytes, more than the 65536 of a Restore "
     "Point: not loaded, left as it is",
     "loadFile The Restore Point size is smaller than expected 0 (expected > 7)!",
     "loadFile failed to open the file /usr/local/q7/firmware/restorepoint.rsp!",
     "Error, no restore point loaded from local file /usr/local/q7/firmware/restorepoint.rsp!!!"},
    {"ulmheader.dat", "/usr/local/q7/firmware/ulmheader.dat", 200000,
     "shmHeaderLoad: header file {path} is 200000 bytes, more than the 164864 of the shared memory: not read", nullptr,
     "shmHeaderLoad: cannot open header file {path}", nullptr},
};

/* key=value lines (the restore point's form) up to `size` bytes, so that a cut would still parse. */
std::string fileOf(size_t size)
{
    std::string text = "version=1.1\nslot=0\n";
    for (int i = 0; text.size() < size; i++)
        text += "key" + std::to_string(i) + "=" + std::string(40, 'v') + "\n";
    text.resize(size);
    return text;
}

std::string replaceAll(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class InputFiles : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        firmwareTest::makeCardRoot(dir, log(), {"root/etc"});
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "layoutManager", "persistentDataStorage"});
    }
    void TearDown() override { firmwareTest::stopDaemon(dir, pid); }
    std::string log() { return dir / "firmware.log"; }
    std::string path(const InputFile &file) { return dir / ("root" + std::string(file.cardPath)); }

    TempDir dir;
    pid_t pid = -1;
};

TEST_P(InputFiles, AreRefusedWholeNeverCut)
{
    Variant variant = GetParam();
    std::vector<std::string> before;
    for (const InputFile &file : inputFiles) {
        before.push_back(variant == OVERSIZE ? fileOf(file.oversize) : "");
        if (variant != MISSING)
            std::ofstream(path(file), std::ios::binary) << before.back();
    }
    pid = firmwareTest::startEmulatedDaemon(dir);
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "Starting service persistentDataStorage", 1, 20000))
        << readFile(log());
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "Starting service layoutManager", 1, 20000)) << readFile(log());
    std::string logged = readFile(log());
    for (size_t i = 0; i < sizeof inputFiles / sizeof inputFiles[0]; i++) {
        const InputFile &file = inputFiles[i];
        SCOPED_TRACE(std::string(file.name) + ", " + variantNames[variant]);
        std::string refused = replaceAll(file.refused, "{path}", path(file));
        if (variant == OVERSIZE) {
            size_t at = logged.find(refused);
            EXPECT_NE(at, std::string::npos) << logged;
            if (file.asUnreadable) {
                EXPECT_NE(logged.find(file.asUnreadable, at == std::string::npos ? 0 : at), std::string::npos) << logged;
            }
            /* left on disk byte for byte */
            EXPECT_EQ(readFile(path(file)), before[i]);
            continue;
        }
        /* the oversize refusal, up to its size */
        EXPECT_EQ(logged.find(refused.substr(0, refused.find(" bytes"))), std::string::npos) << logged;
        const char *expected = variant == EMPTY ? file.empty : file.missing;
        if (expected) {
            EXPECT_NE(logged.find(replaceAll(expected, "{path}", path(file))), std::string::npos) << logged;
        }
    }
    /* No thread of the daemon gave up over a file. */
    EXPECT_EQ(logged.find("Aborting"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Variants, InputFiles, ::testing::Values(OVERSIZE, EMPTY, MISSING),
                         [](const ::testing::TestParamInfo<Variant> &info) {
                             return std::string(variantNames[info.param]);
                         });

} // namespace
