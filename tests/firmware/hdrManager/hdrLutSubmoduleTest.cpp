/*
 * The 3D-LUT generator on the emulated card: start-up writes, the order of an
 * instance upload, the uploaded table's bytes, bypass decisions, the VPID,
 * the feedback words and the read-back logs.
 */
#include "HdrTestSupport.h"

#include "genlock/genlock.h"
#include "genlock/genlockPrivate.h"

#include <sstream>

namespace {

using namespace hdrTest;

class HdrLut : public HdrFixture {};

std::vector<Write> block(uint32_t base, std::initializer_list<uint16_t> words)
{
    std::vector<Write> out;
    uint32_t a = base;
    for (uint16_t w : words)
        out.push_back({a++, w});
    return out;
}

void append(std::vector<Write> &to, const std::vector<Write> &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

/* The keyhole frames sent to one register: their word counts, and the words in order. */
struct Upload {
    std::vector<size_t> chunks;
    std::vector<uint8_t> bytes;
};

Upload uploadTo(int fpga, uint32_t keyhole)
{
    Upload u;
    for (const auto &frame : cardsimSpiFrames(fpga)) {
        if (frame.size() < 4)
            continue;
        uint32_t header = (uint32_t)frame[0] << 24 | frame[1] << 16 | frame[2] << 8 | frame[3];
        if (header != (0x40000000u | keyhole))
            continue;
        u.chunks.push_back((frame.size() - 4) / 2);
        u.bytes.insert(u.bytes.end(), frame.begin() + 4, frame.end());
    }
    return u;
}

TEST_F(HdrLut, StartUpReadsTheShadowsThenProgramsTheRemapper)
{
    /* The fixture started the layout manager on the emulator: its log holds the start-up. */
    std::vector<uint32_t> reads;
    for (int fpga : {DPS, FSM})
        for (const auto &frame : cardsimSpiFrames(fpga)) {
            uint32_t header = (uint32_t)frame[0] << 24 | frame[1] << 16 | frame[2] << 8 | frame[3];
            uint32_t address = header & 0x3FFFFFFF;
            if ((header >> 30) == 2 && (address == 0x2400 || address == 0x2401 || address == 0x18100 ||
                                        address == 0x18101))
                reads.push_back(address);
        }
    EXPECT_EQ(reads, (std::vector<uint32_t>{0x2400, 0x2401, 0x18100, 0x18101}));

    std::vector<Write> expected;
    for (uint32_t v = 0; v < 9; v++) {
        append(expected, {{0x1E00 + 3 * v, (uint16_t)(0x404A + 0x80 * v)}, {0x1E01 + 3 * v, 0}, {0x1E02 + 3 * v, 3}});
        expected.push_back({0x2023 + 0x40 * v, 1});
    }
    std::vector<Write> dps = lutWritesOf(DPS);
    std::vector<Write> remapper;
    for (const Write &w : dps)
        if ((w.address >= 0x1E00 && w.address < 0x1E1B) || (w.address >= 0x2000 && (w.address & 0x3F) == 0x23))
            remapper.push_back(w);
    EXPECT_EQ(remapper, expected);
    EXPECT_EQ(lutWritesOf(FSM, 0x18040, 0x180FF),
              (std::vector<Write>{{0x18040, 0x014A},
                                  {0x18041, 3},
                                  {0x18042, 3},
                                  {0x180A3, 1},
                                  {0x18043, 0x01CA},
                                  {0x18044, 3},
                                  {0x18045, 3},
                                  {0x180E3, 1}}));
}

TEST_F(HdrLut, AVideoInstanceIsProgrammedInOrder)
{
    inputCalibration(inputRecord(2, FORCE, PQ, Rec_2020, 1000, NARROW_RANGE));
    cardsimClearLogs();
    int s = showInput(2);
    ASSERT_GE(s, 0);
    uint32_t base = 0x2000 + 0x40 * (uint32_t)s;
    uint32_t keyhole = 0x1E20 + (uint32_t)s;
    std::vector<Write> expected;
    append(expected, block(base, {0x1000, 0xFD6D, 0xF710, 0x1000, 0x1D6E, 0, 0x1000, 0, 0x1711}));
    append(expected, block(base + 0x09, {0x40, 0x40, 0x40}));
    append(expected, block(base + 0x10, {0x0AD9, 0x00F3, 0x0434, 0xFA1A, 0x082F, 0xFDB7, 0xF87A, 0xFF58, 0x082F}));
    append(expected, block(base + 0x19, {0, 0x200, 0x200}));
    append(expected, block(base + 0x20, {0xFFC0, 0xFE00, 0xFE00}));
    append(expected, block(base + 0x0C, {0x03FB, 4, 0x03FB, 4}));
    append(expected, block(base + 0x1C, {0x03FB, 4, 0x03FB, 4}));
    uint16_t bit = (uint16_t)(1u << s);
    append(expected, {{0x2400, bit}, {0x2401, bit}, {base + 0x24, 0}, {base + 0x24, 1}, {base + 0x24, 0}});

    std::vector<Write> seen;
    std::vector<Write> all = lutWritesOf(DPS);
    size_t keyholeWords = 0;
    std::vector<Write> afterUpload;
    for (const Write &w : all) {
        if (w.address == keyhole) {
            keyholeWords++;
            continue;
        }
        bool ours = (w.address >= base && w.address < base + 0x40) || w.address == 0x2400 || w.address == 0x2401;
        if (!ours)
            continue;
        (keyholeWords == 0 ? seen : afterUpload).push_back(w);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(keyholeWords, 14739u);
    EXPECT_EQ(afterUpload, (std::vector<Write>{{0x2400, 0}}));
    Upload u = uploadTo(DPS, keyhole);
    std::vector<size_t> chunks(11, 1228);
    chunks.push_back(1231);
    EXPECT_EQ(u.chunks, chunks);
    /* The emulator kept what was uploaded: create3DLUT's codes in bits 5-14. */
    hdr3DLutParams_t p = {17, 10, Rec_2020, 0, PQ, NARROW_RANGE, 1000, SDR_TV, 100.0, Rec_709_601, 0, 203,
                          NARROW_RANGE, 10000, 400, 0};
    std::vector<uint16_t> codes(HDR_3DLUT_WORDS);
    create3DLUT(&p, codes.data());
    std::vector<uint16_t> table = cardsimHdrTable(s);
    ASSERT_EQ(table.size(), codes.size());
    for (size_t w = 0; w < codes.size(); w++)
        ASSERT_EQ(table[w], (uint16_t)(codes[w] << 5)) << "word " << w;
    /* The input's settings: bit 0 clear, nits, bit 0 set (FORCE, PQ, gamut 1, range 1). */
    EXPECT_EQ(lutWritesOf(DPS, 0x2480 + 8, 0x2481 + 8),
              (std::vector<Write>{{0x2488, 0x4124}, {0x2489, 1000}, {0x2488, 0x4125}}));
}

TEST_F(HdrLut, UploadedWordsAreBigEndianCodesInBits5To14)
{
    /* IDENTITY gives the grid codes themselves: 0, 64, ..., 1023. */
    inputCalibration(inputRecord(0, FORCE, IDENTITY, Rec_709_601, 100, NARROW_RANGE));
    cardsimClearLogs();
    int s = showInput(0);
    ASSERT_GE(s, 0);
    Upload u = uploadTo(DPS, 0x1E20 + (uint32_t)s);
    ASSERT_EQ(u.bytes.size(), 29478u);
    EXPECT_EQ(std::vector<uint8_t>(u.bytes.begin(), u.bytes.begin() + 12),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(u.bytes.end() - 6, u.bytes.end()),
              (std::vector<uint8_t>{0x7F, 0xE0, 0x7F, 0xE0, 0x7F, 0xE0}));
    /* IDENTITY takes the identity matrices and zero offsets. */
    uint32_t base = 0x2000 + 0x40 * (uint32_t)s;
    EXPECT_EQ(lutWritesOf(DPS, base, base + 8), block(base, {0x1000, 0, 0, 0, 0x1000, 0, 0, 0, 0x1000}));
    EXPECT_EQ(lutWritesOf(DPS, base + 0x20, base + 0x22), block(base + 0x20, {0, 0, 0}));
    /* IDENTITY (4) does not fit the settings word's 2-bit transfer field: it is masked, not spilled into bit 6. */
    EXPECT_EQ(lutWritesOf(DPS, 0x2480, 0x2481), (std::vector<Write>{{0x2480, 0x4004}, {0x2481, 100}, {0x2480, 0x4005}}));
}

TEST_F(HdrLut, BypassWithoutATable)
{
    struct Case {
        const char *name;
        hdrInputCalibration_t input;
    } cases[] = {
        {"passthrough", inputRecord(1, PASSTHROUGH, PQ, Rec_2020, 1000, NARROW_RANGE)},
        {"same as the head", inputRecord(1, FORCE, SDR_TV, Rec_709_601, 100, NARROW_RANGE)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        inputCalibration(c.input);
        cardsimClearLogs();
        int s = showInput(1);
        ASSERT_GE(s, 0);
        EXPECT_TRUE(uploadTo(DPS, 0x1E20 + (uint32_t)s).chunks.empty());
        uint16_t bit = (uint16_t)(1u << s);
        EXPECT_EQ(cardsimFpgaGet(DPS, 0x2400) & bit, bit);
        EXPECT_EQ(cardsimFpgaGet(DPS, 0x2401) & bit, 0);
    }
    /* Passthrough clears the mode bits of the input's settings word. */
    inputCalibration(inputRecord(1, FORCE, PQ, Rec_2020, 1000, NARROW_RANGE));
    EXPECT_EQ(cardsimFpgaGet(DPS, 0x2484) & 0x6, 0x4);
    inputCalibration(inputRecord(1, PASSTHROUGH, PQ, Rec_2020, 1000, NARROW_RANGE));
    EXPECT_EQ(cardsimFpgaGet(DPS, 0x2484) & 0x6, 0);
}

TEST_F(HdrLut, BadCalibrationsAreDroppedAndKeptRecordsStay)
{
    hdrInputCalibration_t before[HDR_VIDEO_INPUTS];
    memcpy(before, hdr3DLutGen.inputs, sizeof before);
    struct Case {
        const char *name;
        hdrInputCalibration_t record;
    } cases[] = {
        {"input 9", inputRecord(9, FORCE, PQ, Rec_2020, 1000, 1)},
        {"input 200", inputRecord(200, FORCE, PQ, Rec_2020, 1000, 1)},
        {"mode 3", inputRecord(0, 3, PQ, Rec_2020, 1000, 1)},
        {"transfer 5", inputRecord(0, FORCE, 5, Rec_2020, 1000, 1)},
        {"gamut 3", inputRecord(0, FORCE, PQ, 3, 1000, 1)},
        {"nits 0", inputRecord(0, FORCE, PQ, Rec_2020, 0, 1)},
        {"nits 10001", inputRecord(0, FORCE, PQ, Rec_2020, 10001, 1)},
        {"range 2", inputRecord(0, FORCE, PQ, Rec_2020, 1000, 2)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        inputCalibration(c.record);
        EXPECT_EQ(memcmp(before, hdr3DLutGen.inputs, sizeof before), 0);
    }
    hdrHeadCalibration_t heads[HDR_LOGICAL_HEADS];
    memcpy(heads, hdr3DLutGen.heads, sizeof heads);
    hdrHeadCalibration_t badRange = headRecord(4, 0, PQ, Rec_2020);
    badRange.range = FULL_RANGE;
    hdrHeadCalibration_t badWhite = headRecord(4, 0, PQ, Rec_2020);
    badWhite.diffuseWhite = 401;
    for (const hdrHeadCalibration_t &r : {headRecord(6, 0, PQ, 1), headRecord(4, 2, PQ, 1), headRecord(4, 0, SLog3, 1),
                                          badRange, badWhite})
        headCalibration(r);
    EXPECT_EQ(memcmp(heads, hdr3DLutGen.heads, sizeof heads), 0);
}

TEST_F(HdrLut, AnUnsupportedGamutCreatesNoTable)
{
    hdr3DLutParams_t p = {17, 10, 3, 0, PQ, NARROW_RANGE, 1000, SDR_TV, 100.0, 0, 0, 203, NARROW_RANGE, 10000, 400, 0};
    hdrManagerMakeCurrent(HDR_VIDEO_INSTANCE, 0, 0, 0, &p);
    std::vector<uint8_t> table(HDR_3DLUT_BYTES, 0xAA);
    EXPECT_EQ(createThe3DLUT(table.data()), 6);
    EXPECT_EQ(table[0], 0xAA);
    p.inputColorGamut = Rec_2020;
    p.outputRange = 2;
    EXPECT_EQ(createThe3DLUT(table.data()), 6);
    p.outputRange = NARROW_RANGE;
    EXPECT_EQ(createThe3DLUT(table.data()), 0);
    EXPECT_EQ(table[0], 0x08); /* black in narrow range: code 64 */
}

TEST_F(HdrLut, VpidOfAHeadCalibration)
{
    struct Case {
        uint16_t rate;
        uint16_t reg0;
    } cases[] = {{5994, 0xEA89}, {5000, 0xE989}, {2997, 0xE989}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rate);
        frameRate(c.rate);
        cardsimClearLogs();
        headCalibration(headRecord(4, 1, PQ, Rec_2020));
        headCalibration(headRecord(4, 1, HLG, Rec_709_601)); /* a change, so the next case programs again */
        cardsimClearLogs();
        headCalibration(headRecord(4, 1, PQ, Rec_2020));
        EXPECT_EQ(lutWritesOf(FSM, 0x1810A, 0x1810B), (std::vector<Write>{{0x1810A, c.reg0}, {0x1810B, 0x01A0}}));
        /* The head table went to head instance 1 through its keyhole. */
        EXPECT_EQ(uploadTo(FSM, 0x18049).chunks.size(), 12u);
    }
}

TEST_F(HdrLut, WithoutAFrameRateEventTheVpidFollowsGenlock)
{
    struct Case {
        uint32_t rate;
        uint16_t reg0;
    } cases[] = {{5000, 0xD989}, {5994, 0xDA89}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rate);
        genlockStatusPublish(c.rate);
        cardsimClearLogs();
        headCalibration(headRecord(4, 0, HLG, Rec_709_601));
        EXPECT_EQ(lutWritesOf(FSM, 0x18108, 0x18109), (std::vector<Write>{{0x18108, c.reg0}, {0x18109, 0x0180}}));
        headCalibration(headRecord(4, 0, IDENTITY, Rec_709_601)); /* a change, so that the next case programs again */
    }
    genlockStatusReset();
}

TEST_F(HdrLut, HeadResolutionOtherThan1080pBypassesWithoutVpid)
{
    frameRate(5994);
    headCalibration(headRecord(4, 0, PQ, Rec_2020));
    cardsimClearLogs();
    std::vector<uint8_t> resolution = headResolution(0);
    resolution[4 + 17] = 1; /* 1080i */
    send(resolution);
    send(applyLayout(0, 0));
    EXPECT_TRUE(lutWritesOf(FSM, 0x18108, 0x18109).empty());
    EXPECT_EQ(cardsimFpgaGet(FSM, 0x18100) & 1, 1);
    EXPECT_EQ(cardsimFpgaGet(FSM, 0x18101) & 1, 0);
    cardsimClearLogs();
    send(headResolution(0));
    send(applyLayout(0, 0));
    EXPECT_EQ(lutWritesOf(FSM, 0x18108, 0x18109), (std::vector<Write>{{0x18108, 0xEA89}, {0x18109, 0x01A0}}));
    EXPECT_EQ(cardsimFpgaGet(FSM, 0x18101) & 1, 1);
}

TEST_F(HdrLut, FeedbackWords)
{
    headCalibration(headRecord(4, 0, PQ, Rec_2020));
    EXPECT_EQ(shmWord(1190), 0x4121);
    EXPECT_EQ(shmWord(1192), 10000); /* a PQ head table clips at 10,000 cd/m2, which the head keeps */
    EXPECT_EQ(shmWord(1194), 400);
    EXPECT_EQ(shmWord(1196), 203);
    headCalibration(headRecord(4, 0, SDR_TV, Rec_709_601));
    inputCalibration(inputRecord(3, FORCE, PQ, Rec_2020, 1000, NARROW_RANGE));
    int s = showInput(3);
    ASSERT_GE(s, 0);
    uint32_t at = 1222 + 16 * (uint32_t)s;
    EXPECT_EQ(shmWord(at + 6), 0x8128);
    EXPECT_EQ(shmWord(at), (uint16_t)(1 | 3 << 1 | 0 << 5 | (3 & 0x3F) << 7));
    EXPECT_EQ(shmWord(at + 8), 1000);
    EXPECT_EQ(shmWord(at + 14), 203);
}

TEST_F(HdrLut, ReadBackLogAndValidations)
{
    inputCalibration(inputRecord(4, FORCE, HLG, Rec_2020, 1000, NARROW_RANGE));
    hdrManager3DLutGenMaintenance(HDR_MAINTENANCE_READ_BACK_ON);
    int s = showInput(4);
    ASSERT_GE(s, 0);
    hdrManager3DLutGenMaintenance(HDR_MAINTENANCE_READ_BACK_OFF);
    std::string debug = file(root + "/usr/local/q7/logs/back_read_hdr_video_3dlut_debug.log." + std::to_string(s));
    std::istringstream lines(debug);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line))
        all.push_back(line);
    ASSERT_EQ(all.size(), 4u + 4913u);
    EXPECT_EQ(all[2], "HDR_3D_LUT_SIZE 4913");
    EXPECT_EQ(all[3], "#Created by Tarnwick");
    std::vector<uint16_t> table = cardsimHdrTable(s);
    char expected[64];
    snprintf(expected, sizeof expected, "%07f %07f %07f", table[0] / 32768.0, table[1] / 32768.0, table[2] / 32768.0);
    EXPECT_EQ(all[4], expected);
    EXPECT_TRUE(log().contains("read back 3DLut instance Type HDR_VIDEO_INSTANCE, instance no " + std::to_string(s) +
                               " succeeded"));

    /* A validation asked for on another thread runs on the layout thread; one corrupted entry shows. */
    cardsimHdrCorruptEntry(s, 5);
    uint8_t none[2] = {0, 0};
    size_t mark = log().mark();
    platformRegisterHdrMaintenance(hdrManager3DLutGenMaintenance); /* as the HDR manager's init does */
    platformWriteDevice(DEVICE_THREAD_CONTROL, HDR_MAINTENANCE_VALIDATE_INPUTS, 2, none);
    std::string validation = root + "/usr/local/q7/logs/hdr_video_3dlut_data_integity_validation.log." +
                             std::to_string(s);
    for (int i = 0; i < 200 && log().since(mark).find("instance number [8]") == std::string::npos; i++)
        layoutManagerServeNext(50);
    std::istringstream v(file(validation));
    std::vector<std::string> vl;
    while (std::getline(v, line))
        vl.push_back(line);
    ASSERT_EQ(vl.size(), 1u + 4913u);
    EXPECT_EQ(vl[0], "  3DLUT Data from DPS     3DLUT Data from FW Tables");
    EXPECT_EQ(vl[6].find("\t!!!DATA MISMATCH!!!!"), vl[6].size() - strlen("\t!!!DATA MISMATCH!!!!"));
    EXPECT_EQ(vl[5].find("MISMATCH"), std::string::npos);
    EXPECT_TRUE(log().contains("HDR Inputs 3DLut instance data integrity validation failed: HDR Inputs instance "
                               "number [" +
                               std::to_string(s) + "]"));
}

/* Card B: its own heads are managed heads 0-1, addressed as slot 5. */
class HdrLutCardB : public HdrFixture {
protected:
    int ownSlot() const override { return 5; }
};

TEST_F(HdrLutCardB, SlotFiveHeadProgramsTheCardsHeadInstanceAndBothPathsAgree)
{
    frameRate(5994);
    headCalibration(headRecord(5, 1, PQ, Rec_2020));
    EXPECT_EQ(uploadTo(FSM, 0x18049).chunks.size(), 12u);
    EXPECT_EQ(hdr3DLutGen.heads[1].transferFunction, PQ);
    std::vector<Write> fromCalibration = lutWritesOf(FSM, 0x1810A, 0x1810B);
    EXPECT_EQ(fromCalibration, (std::vector<Write>{{0x1810A, 0xEA89}, {0x1810B, 0x01A0}}));
    cardsimClearLogs();
    /* Card B addresses its own head 1 as slot 5. */
    std::vector<uint8_t> resolution = headResolution(1), apply = applyLayout(1, 0);
    resolution[4] = apply[4] = 5;
    send(resolution);
    send(apply);
    EXPECT_EQ(lutWritesOf(FSM, 0x1810A, 0x1810B), fromCalibration);
    /* A calibration for card A's heads lands on the managed heads 2-3 and programs nothing here. */
    cardsimClearLogs();
    headCalibration(headRecord(4, 0, HLG, Rec_2020));
    EXPECT_EQ(hdr3DLutGen.heads[2].transferFunction, HLG);
    EXPECT_TRUE(lutWritesOf(FSM, 0x18080, 0x1810B).empty());
}

} // namespace
