/*
 * "layout.bin": 39,192 bytes of layout data in memory order and the CRC-16 of
 * those bytes, little-endian; loaded at init with "layout_default.bin" as the
 * fallback, saved whole on SAVE_CARD_CONFIG.
 */

#include "LayoutTestSupport.h"

#include <fstream>
#include <functional>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

using namespace layoutTest;

namespace {

/* CRC-16/CCITT-FALSE written out bit by bit, independent of the firmware's. */
uint16_t referenceCrc(const std::vector<uint8_t> &bytes, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; i++) {
        crc ^= (uint16_t)(bytes[i] << 8);
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

TEST(LayoutReferenceCrc, AgreesWithTheStandardCheckValue)
{
    std::string check = "123456789";
    EXPECT_EQ(referenceCrc(std::vector<uint8_t>(check.begin(), check.end()), 9), 0x29B1);
}

/* A layout file body with a few literal fields set. */
std::vector<uint8_t> layoutBody(uint8_t marker)
{
    std::vector<uint8_t> body(LAYOUT_DATA_SIZE, 0);
    const uint8_t version[4] = {0x99, 0x00, 0x00, 0x00};
    std::copy(version, version + 4, body.begin());
    body[4] = 60;                    /* system frame rate */
    body[8 + 9620 + 12] = 0x80;      /* head 1 hActivePixels 1920 */
    body[8 + 9620 + 13] = 0x07;
    body[8 + 2 * 9620 + 400 + 144 * 5] = marker; /* head 2 window 5 priority */
    body[38488 + 44 * 2 + 4] = 2;    /* input 2 index */
    return body;
}

std::vector<uint8_t> withCrc(std::vector<uint8_t> body)
{
    uint16_t crc = referenceCrc(body, LAYOUT_DATA_SIZE);
    body.push_back((uint8_t)(crc & 0xFF));
    body.push_back((uint8_t)(crc >> 8));
    return body;
}

void writeBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

std::vector<uint8_t> readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct LoadCase {
    const char *name;
    std::vector<uint8_t> layoutBin;   /* empty: no file */
    std::vector<uint8_t> defaultBin;  /* empty: no file */
    uint8_t loadedMarker;             /* window priority found after load; 0 with all-zero data */
    std::vector<std::string> logged;
    std::string printed;
};

std::vector<uint8_t> badCrc(std::vector<uint8_t> file)
{
    file[LAYOUT_DATA_SIZE] ^= 0xFF;
    return file;
}

std::string hex4(uint16_t v)
{
    char text[8];
    snprintf(text, sizeof text, "0x%04x", v);
    return text;
}

std::vector<LoadCase> loadCases()
{
    std::vector<uint8_t> good = withCrc(layoutBody(11));
    std::vector<uint8_t> fallback = withCrc(layoutBody(22));
    std::vector<uint8_t> broken = badCrc(good);
    uint16_t computed = referenceCrc(good, LAYOUT_DATA_SIZE);
    uint16_t expected = (uint16_t)(broken[LAYOUT_DATA_SIZE] | broken[LAYOUT_DATA_SIZE + 1] << 8);
    std::vector<uint8_t> shortFile(good.begin(), good.end() - 1);
    return {
        {"Good", good, {}, 11, {"LayoutManager: loading: control structure!"}, ""},
        {"BadCrcFallsBack", broken, fallback, 22,
         {"LayoutManager: CRC error found on layout.bin! crc expected =  " + hex4(expected) +
              ", crc calculated =  " + hex4(computed),
          "LayoutManager: loading: a default control structure."},
         ""},
        {"OneByteShortFallsBack", shortFile, fallback, 22,
         {"is 39193 bytes, less than the 39194 of a layout file: not loaded",
          "LayoutManager: loading: a default control structure."},
         ""},
        {"MissingFallsBack", {}, fallback, 22, {"LayoutManager: loading: a default control structure."}, ""},
        {"NeitherFile", {}, {}, 0, {"LayoutManager: ERROR ERROR ERROR!!! Not loaded ANY default bin BIG PROBLEMS MAY arise!"},
         "LayoutManager: ERROR ERROR ERROR!!! Not loaded ANY default bin BIG PROBLEMS MAY arise!\n"},
        {"BothBad", broken, badCrc(fallback), 0,
         {"LayoutManager: ERROR!!! CRC error found on layout_default.bin! crc expected =  "},
         "LayoutManager: ERROR!!! CRC error found on layout_default.bin! crc expected =  "},
    };
}

class LayoutFileLoad : public LayoutFixture, public ::testing::WithParamInterface<LoadCase> {
protected:
    void SetUp() override
    {
        /* A load that fails must not leave what was in memory before. */
        memset(layoutGetPrivateData(), 0x77, sizeof(privateLayoutData));
        mark = log().mark();
        ::testing::internal::CaptureStdout();
        LayoutFixture::SetUp();
        printed = ::testing::internal::GetCapturedStdout();
    }
    void prepareFiles() override
    {
        if (!GetParam().layoutBin.empty())
            writeBytes(firmwareDir() + "/layout.bin", GetParam().layoutBin);
        if (!GetParam().defaultBin.empty())
            writeBytes(firmwareDir() + "/layout_default.bin", GetParam().defaultBin);
    }
    size_t mark = 0;
    std::string printed;
};

TEST_P(LayoutFileLoad, LoadsTheFileOrItsDefaultOrNothing)
{
    const LoadCase &c = GetParam();
    std::string text = log().since(mark);
    for (const std::string &line : c.logged)
        EXPECT_NE(text.find(line), std::string::npos) << line;
    if (c.printed.empty())
        EXPECT_EQ(printed, "");
    else
        EXPECT_EQ(printed.substr(0, c.printed.size()), c.printed);

    privateLayoutData *data = layoutGetPrivateData();
    EXPECT_EQ(data->version, (uint32_t)LAYOUT_DATA_VERSION); /* whatever the file held */
    EXPECT_EQ(data->heads[2].windows[5].winPriority, c.loadedMarker);
    if (c.loadedMarker) {
        EXPECT_EQ(data->systemFrameRate, 60u);
        EXPECT_EQ(data->heads[1].resolution.hActivePixels, 1920u);
        EXPECT_EQ(data->inputs[2].inputIndex, 2u);
    } else {
        std::vector<uint8_t> zero(LAYOUT_DATA_SIZE - 4, 0);
        EXPECT_EQ(memcmp((const uint8_t *)data + 4, zero.data(), zero.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, LayoutFileLoad, ::testing::ValuesIn(loadCases()),
                         [](const ::testing::TestParamInfo<LoadCase> &info) { return std::string(info.param.name); });

class LayoutFileSave : public LayoutFixture {};

TEST_F(LayoutFileSave, SaveCardConfigWritesTheWholeDataAndItsCrcAndALaterLoadGetsItBack)
{
    std::vector<uint8_t> apply = pcode(20, 12, {5, 0, 0xC8, 0});
    post(apply);
    std::vector<uint8_t> resolution = pcode(20, 2, {4, 1, 1, 0x17, 0x6a, 0x08, 0xd7, 0xaa, 0xa0, 0x07, 0x80, 0x04, 0x38,
                                                    0x08, 0x98, 0x04, 0x65, 2, 0, 0, 0, 0, 0, 0});
    post(resolution);
    std::vector<uint8_t> save = pcode(10, 3, {4, 0});
    size_t mark = log().mark();
    layoutSaveCardConfigHandler(save.data(), (uint32_t)save.size());
    EXPECT_NE(log().since(mark).find("Got SAVE_CARD_CONFIG Pcode DstSlot 4, head 0."), std::string::npos);
    drain();

    std::vector<uint8_t> file = readBytes(firmwareDir() + "/layout.bin");
    ASSERT_EQ(file.size(), (size_t)LAYOUT_FILE_SIZE);
    struct Field {
        size_t at;
        std::vector<uint8_t> bytes;
    } fields[] = {
        {0, {0x02, 0x00, 0x01, 0x00}},                          /* version 0x00010002 */
        {8 + 2 * 9620 + 308, {0xC8, 0x00, 0x00, 0x00}},         /* head 2 colour saturation */
        {8 + 9620, {0x01, 0x00, 0x00, 0x00, 0x6a, 0x17, 0x00, 0x00, 0xa0, 0xaa, 0xd7, 0x08, 0x80, 0x07, 0x00, 0x00,
                    0x38, 0x04, 0x00, 0x00, 0x98, 0x08, 0x00, 0x00, 0x65, 0x04, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}},
    };
    for (const Field &f : fields) {
        SCOPED_TRACE(f.at);
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + (long)f.at, file.begin() + (long)(f.at + f.bytes.size())), f.bytes);
    }
    uint16_t crc = referenceCrc(file, LAYOUT_DATA_SIZE);
    EXPECT_EQ(file[LAYOUT_DATA_SIZE], crc & 0xFF);
    EXPECT_EQ(file[LAYOUT_DATA_SIZE + 1], crc >> 8);
    EXPECT_EQ(memcmp(file.data(), layoutGetPrivateData(), LAYOUT_DATA_SIZE), 0);
    struct stat st;
    ASSERT_EQ(stat((firmwareDir() + "/layout.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    /* A restart loads it back. */
    memset(layoutGetPrivateData(), 0, sizeof(privateLayoutData));
    initService(&layoutManagerService);
    EXPECT_EQ(memcmp(file.data(), layoutGetPrivateData(), LAYOUT_DATA_SIZE), 0);
}

TEST_F(LayoutFileSave, AFailedSaveReportsThreeAndKeepsTheOldFile)
{
    std::vector<uint8_t> old = withCrc(layoutBody(5));
    writeBytes(firmwareDir() + "/layout.bin", old);
    layoutGetPrivateData()->systemFrameRate = 50;

    struct Case {
        const char *name;
        std::function<void()> breakIt, mend;
        std::string logged;
    } cases[] = {
        /* The file's place is taken by a directory: the rename fails. */
        {"RenameFails",
         [&] {
             rename((firmwareDir() + "/layout.bin").c_str(), (firmwareDir() + "/kept").c_str());
             mkdir((firmwareDir() + "/layout.bin").c_str(), 0755);
         },
         [&] {
             rmdir((firmwareDir() + "/layout.bin").c_str());
             rename((firmwareDir() + "/kept").c_str(), (firmwareDir() + "/layout.bin").c_str());
         },
         "layoutSave: LayoutManager: failed to save layout file "},
        /* No directory to write into. */
        {"NoDirectory", [&] { rename(firmwareDir().c_str(), (root + "/moved").c_str()); },
         [&] { rename((root + "/moved").c_str(), firmwareDir().c_str()); },
         "LayoutManager: Can't open save layout file " + firmwareDir() + "/layout.bin"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.breakIt();
        size_t mark = log().mark();
        EXPECT_EQ(layoutLoadSaveData(1), LAYOUT_RESULT_FAILED);
        EXPECT_NE(log().since(mark).find(c.logged), std::string::npos);
        c.mend();
        EXPECT_EQ(readBytes(firmwareDir() + "/layout.bin"), old);
        /* No temporary file is left behind. */
        EXPECT_EQ(system(("test $(ls " + firmwareDir() + " | wc -l) -eq 1").c_str()), 0);
    }
    EXPECT_EQ(layoutLoadSaveData(7), LAYOUT_RESULT_OK); /* other modes do nothing */
    EXPECT_EQ(readBytes(firmwareDir() + "/layout.bin"), old);
}

} // namespace
