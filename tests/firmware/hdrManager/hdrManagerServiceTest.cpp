/*
 * The HDR manager service with the layout manager, the 3D-LUT generator and
 * the restore point: calibration pcodes, restore-point values at start and
 * on change, the probes' VPID in AUTO mode, what is posted and what is saved.
 */
#include "HdrTestSupport.h"

#include "persistentDataStorage/persistentDataStorage.h"

#include <chrono>
#include <functional>
#include <thread>

extern serviceDescriptor persistentDataStorageService;

namespace {

using namespace hdrTest;

std::vector<uint8_t> inputPcode(std::vector<uint8_t> data)
{
    return pcode(10, 19, data);
}

std::vector<uint8_t> headPcode(std::vector<uint8_t> data)
{
    return pcode(10, 20, data);
}

/* A video probe's change record as the probes build it (38 bytes, host order). */
std::vector<uint8_t> probeRecord(uint32_t input, uint32_t videoValid, uint32_t vpidValid, const uint8_t vpid[4])
{
    std::vector<uint8_t> r(38, 0);
    auto put32 = [&r](size_t at, uint32_t v) { memcpy(&r[at], &v, 4); };
    r[0] = 0x34; /* card id: no log category lives here */
    r[1] = 0x12;
    put32(4, 1);
    put32(8, input);
    r[12] = 1;
    put32(18, videoValid);
    put32(22, 1);
    put32(30, vpidValid);
    r[34] = vpid[0];
    r[35] = vpid[1];
    r[36] = vpid[2];
    r[37] = vpid[3];
    return r;
}

class HdrManager : public HdrFixture {
protected:
    void prepareFiles() override
    {
        std::ofstream(firmwareDir() + "/restorepoint.rsp") << "version=1.1\nslot=4\n" << restorePoint();
    }
    virtual std::string restorePoint() { return ""; }

    void SetUp() override
    {
        HdrFixture::SetUp();
        initService(&persistentDataStorageService);
        persistentDataStorageService.state = SERVICE_STATE_RUN;
        storage = std::thread([] { persistentDataStorageService.threadEntry(&persistentDataStorageService); });
        initService(&hdrManagerService);
        hdrManagerService.preStart(&hdrManagerService);
    }
    void TearDown() override
    {
        persistentDataStorageService.state = SERVICE_STATE_TERMINATE;
        persistentDataStorageService.control(&persistentDataStorageService, SERVICE_STATE_TERMINATE,
                                             SERVICE_STATE_RUN);
        storage.join();
        hdrManagerService.control(&hdrManagerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        HdrFixture::TearDown();
    }
    /* Serves the manager's queue, then the layout manager's; the number of layout messages served. */
    int serve()
    {
        while (hdrManagerServeNext()) {
        }
        return drain();
    }
    static std::string key(const char *name)
    {
        char value[PDS_TEXT_MAX + 1] = "";
        return persistentDataStorage_GetKey(nullptr, 1, name, value, sizeof value, nullptr) == 0 ? value : "<none>";
    }
    static bool waitFor(const std::function<bool()> &done)
    {
        for (int i = 0; i < 300 && !done(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    }
    /*
     * The restore point serves its requests in order: once a key queued now is
     * stored, every save asked for before it is done.
     */
    static bool savesDone()
    {
        static int marker = 0;
        std::string value = std::to_string(++marker);
        if (persistentDataStorage_SetKey(nullptr, 1, "TEST_MARKER", value.c_str()) != 0)
            return false;
        return waitFor([&value] { return key("TEST_MARKER") == value; });
    }
    std::thread storage;
};

const std::vector<uint8_t> INPUT_2 = {4, 2, 1, 2, 1, 0, 0x03, 0xE8, 1, 0, 0, 0};

TEST_F(HdrManager, InputPcodeIsPostedAndSavedOnce)
{
    EXPECT_EQ(hdrManagerInputPcode(inputPcode(INPUT_2).data(), 16), 6);
    EXPECT_EQ(serve(), 1);
    const hdrInputCalibration_t &kept = hdr3DLutGen.inputs[2];
    EXPECT_EQ(kept.nits, 1000);
    EXPECT_EQ(kept.inputMode, AUTO);
    EXPECT_EQ(kept.transferFunction, PQ);
    EXPECT_EQ(kept.slotId, 0);
    EXPECT_TRUE(waitFor([] { return key("HDR_CALIBRATION_INPUT_3") != "<none>"; }));
    EXPECT_EQ(key("HDR_CALIBRATION_INPUT_3"), "040201020100e80301000000");

    /* The same pcode again: nothing posted, nothing saved; later restore-point values are ignored. */
    EXPECT_EQ(hdrManagerInputPcode(inputPcode(INPUT_2).data(), 16), 6);
    EXPECT_EQ(serve(), 0);
    pdsKeyCallbackInfo change = {nullptr, 1, "HDR_CALIBRATION_INPUT_3", "040200020100640001000000"};
    hdrInputPcodeRestorePointCallbackfn(&change, log4c_category_get("ulm.test"));
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(hdrManagerState.inputs[2].nits, 1000);
    EXPECT_TRUE(log().contains("we will ignore the RestorePoint data."));
}

TEST_F(HdrManager, HeadPcodeOfCardBIsLogicalHeadThree)
{
    std::vector<uint8_t> data = {5, 1, 2, 1, 0, 1, 0x03, 0xE8, 0x01, 0x90, 0x00, 0xCB};
    EXPECT_EQ(hdrManagerHeadPcode(headPcode(data).data(), 16), 6);
    EXPECT_EQ(serve(), 1);
    EXPECT_TRUE(waitFor([] { return key("HDR_CALIBRATION_HEAD_4") != "<none>"; }));
    EXPECT_EQ(key("HDR_CALIBRATION_HEAD_4"), "050102010001e8039001cb00");
    /* On card A, card B's head 1 is managed head 3. */
    EXPECT_EQ(hdr3DLutGen.heads[3].transferFunction, PQ);
    EXPECT_EQ(hdr3DLutGen.heads[3].maxFall, 400);
    EXPECT_EQ(hdr3DLutGen.heads[3].diffuseWhite, 203);
}

TEST_F(HdrManager, RefusedPcodes)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> pcode;
        int head;
        int result;
    } cases[] = {
        {"data length 11", pcode(10, 19, {4, 2, 1, 2, 1, 0, 3, 0xE8, 1, 0, 0}), 0, 6},
        {"input 9", inputPcode({4, 9, 1, 2, 1, 0, 3, 0xE8, 1, 0, 0, 0}), 0, 6},
        {"another slot", inputPcode({7, 2, 1, 2, 1, 0, 3, 0xE8, 1, 0, 0, 0}), 0, 0},
        {"head 2", headPcode({4, 2, 2, 1, 0, 1, 3, 0xE8, 1, 0x90, 0, 0xCB}), 1, 6},
        {"head slot 6", headPcode({6, 0, 2, 1, 0, 1, 3, 0xE8, 1, 0x90, 0, 0xCB}), 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buffer[32] = {};
        memcpy(buffer, c.pcode.data(), c.pcode.size());
        uint32_t length = (uint32_t)c.pcode.size();
        EXPECT_EQ(c.head ? hdrManagerHeadPcode(buffer, length) : hdrManagerInputPcode(buffer, length), c.result);
        EXPECT_EQ(serve(), 0);
    }
    /* Values the generator refuses are posted, dropped there, and its records stay. */
    hdrInputCalibration_t before = hdr3DLutGen.inputs[2];
    for (uint16_t nits : {0, 10001}) {
        std::vector<uint8_t> data = INPUT_2;
        data[6] = (uint8_t)(nits >> 8);
        data[7] = (uint8_t)nits;
        hdrManagerInputPcode(inputPcode(data).data(), 16);
        serve();
        EXPECT_EQ(memcmp(&before, &hdr3DLutGen.inputs[2], sizeof before), 0);
    }
    hdrHeadCalibration_t head = hdr3DLutGen.heads[0];
    hdrManagerHeadPcode(headPcode({4, 0, 2, 1, 0, 0, 3, 0xE8, 1, 0x90, 0, 0xCB}).data(), 16);
    serve();
    EXPECT_EQ(memcmp(&head, &hdr3DLutGen.heads[0], sizeof head), 0);
    EXPECT_TRUE(log().contains("Rx HDR range 0, HDR head range is a fixed value equal to NARROW_RANGE (1)"));
}

TEST_F(HdrManager, RestorePointValuesAreCheckedAgainstTheirKey)
{
    struct Case {
        const char *name;
        const char *key;
        const char *value;
        int head;
    } cases[] = {
        {"byte 1 names another input", "HDR_CALIBRATION_INPUT_3", "040500020100640001000000", 0},
        {"input above 8", "HDR_CALIBRATION_INPUT_3", "040900020100640001000000", 0},
        {"not hexadecimal", "HDR_CALIBRATION_INPUT_3", "04020002010064000100000g", 0},
        {"short", "HDR_CALIBRATION_INPUT_3", "0402000201006400010000", 0},
        {"no such key", "HDR_CALIBRATION_INPUT_10", "040200020100640001000000", 0},
        {"head byte 1 names head 0", "HDR_CALIBRATION_HEAD_2", "040002010001e8039001cb00", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pdsKeyCallbackInfo change = {nullptr, 1, "", ""};
        snprintf(change.key, sizeof change.key, "%s", c.key);
        snprintf(change.value, sizeof change.value, "%s", c.value);
        log4c_category_t *category = log4c_category_get("ulm.test");
        if (c.head)
            hdrHeadPcodeRestorePointCallbackfn(&change, category);
        else
            hdrInputPcodeRestorePointCallbackfn(&change, category);
        EXPECT_EQ(serve(), 0);
    }
    /* A good value is posted. */
    pdsKeyCallbackInfo change = {nullptr, 1, "HDR_CALIBRATION_INPUT_3", "040202020100640001000000"};
    hdrInputPcodeRestorePointCallbackfn(&change, log4c_category_get("ulm.test"));
    EXPECT_EQ(serve(), 1);
    EXPECT_EQ(hdr3DLutGen.inputs[2].nits, 100);
    EXPECT_EQ(hdr3DLutGen.inputs[2].inputMode, FORCE);
}

TEST(HdrManagerText, RecordAndTextRoundTrip)
{
    const uint8_t record[12] = {4, 2, 1, 2, 1, 0, 0xE8, 0x03, 1, 0, 0, 0};
    char text[25];
    hdrManagerRecordToText(record, text);
    EXPECT_STREQ(text, "040201020100e80301000000");
    uint8_t back[12];
    ASSERT_EQ(convertHdrStringToHex("040201020100E80301000000", back), 0);
    EXPECT_EQ(memcmp(back, record, 12), 0);
    EXPECT_NE(convertHdrStringToHex("040201020100e8030100000", back), 0);
    EXPECT_NE(convertHdrStringToHex("040201020100e803010000000", back), 0);
    EXPECT_NE(convertHdrStringToHex(" 40201020100e80301000000", back), 0);
}

class HdrManagerAtStart : public HdrManager {
protected:
    std::string restorePoint() override
    {
        return "HDR_CALIBRATION_INPUT_5=040401010100580201000000\n"
               "HDR_CALIBRATION_INPUT_6=040400010100580201000000\n"
               "HDR_CALIBRATION_HEAD_2=040101010001e8039001cb00\n";
    }
};

TEST_F(HdrManagerAtStart, RestorePointReachesTheGeneratorThroughOneNotifyAll)
{
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(hdr3DLutGen.inputs[4].transferFunction, PQ); /* the generator's default until notified */
    EXPECT_EQ(hdrManagerQueueNotifyAll(), 0);
    /* Input 4 and head 1 (input 5's value names input 4: flagged, but not taken). */
    EXPECT_EQ(serve(), 3);
    EXPECT_EQ(hdr3DLutGen.inputs[4].transferFunction, HLG);
    EXPECT_EQ(hdr3DLutGen.inputs[4].nits, 600);
    EXPECT_EQ(hdr3DLutGen.heads[1].transferFunction, HLG);
    EXPECT_TRUE(log().contains("Expected Vid 5, but Restore Point Data gave us 4."));
    EXPECT_EQ(hdrManagerState.inputs[5].transferFunction, 0);
}

TEST_F(HdrManager, AutoModeFollowsTheVpid)
{
    hdrManagerInputPcode(inputPcode(INPUT_2).data(), 16);
    serve();
    ASSERT_TRUE(waitFor([] { return key("HDR_CALIBRATION_INPUT_3") != "<none>"; }));
    struct Case {
        const char *name;
        uint8_t vpid[4];
        uint8_t mode, transfer, gamut, range;
    } cases[] = {
        {"750 lines", {0x88, 0xEA, 0xA0, 0x01}, PASSTHROUGH, PQ, Rec_2020, NARROW_RANGE},
        {"HLG 709 full", {0x89, 0xDA, 0x80, 0x00}, AUTO, HLG, Rec_709_601, FULL_RANGE},
        {"PQ UHDTV narrow", {0x89, 0xEA, 0xA0, 0x01}, AUTO, PQ, Rec_2020, NARROW_RANGE},
        {"SDR quantisation 3", {0x89, 0xCA, 0x80, 0x03}, AUTO, SDR_TV, Rec_709_601, FULL_RANGE},
        {"ICtCp read as YCbCr", {0x89, 0xEA, 0xA0, 0x12}, AUTO, PQ, Rec_2020, NARROW_RANGE},
        {"transfer unspecified", {0x89, 0xFA, 0xA0, 0x01}, PASSTHROUGH, PQ, Rec_2020, NARROW_RANGE},
        {"colorimetry reserved", {0x89, 0xEA, 0x90, 0x01}, PASSTHROUGH, PQ, Rec_2020, NARROW_RANGE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        inputHdrMetadataChangeCallback(probeRecord(2, 1, 1, c.vpid).data());
        EXPECT_EQ(serve(), 1);
        const hdrInputCalibration_t &posted = hdr3DLutGen.inputs[2];
        EXPECT_EQ(posted.inputMode, c.mode);
        EXPECT_EQ(posted.transferFunction, c.transfer);
        EXPECT_EQ(posted.colorGamut, c.gamut);
        EXPECT_EQ(posted.range, c.range);
        EXPECT_EQ(posted.colorModel, Y_Cb_Cr);
        /* The restore point keeps what was asked for. */
        EXPECT_EQ(key("HDR_CALIBRATION_INPUT_3"), "040201020100e80301000000");
    }
    /* The same VPID again changes nothing; no video: nothing queued. */
    const uint8_t last[4] = {0x89, 0xEA, 0x90, 0x01};
    inputHdrMetadataChangeCallback(probeRecord(2, 1, 1, last).data());
    EXPECT_EQ(serve(), 0);
    inputHdrMetadataChangeCallback(probeRecord(2, 0, 1, last).data());
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(hdrManagerState.probes[2].videoValid, 1u);
}

/* A pcode in AUTO after the VPID: AUTO settles on passthrough at once, and the restore point still keeps AUTO. */
TEST_F(HdrManager, AnAutoPcodeIsSavedAsAskedWhateverAutoSettledOn)
{
    const uint8_t lines750[4] = {0x88, 0xEA, 0xA0, 0x01};
    inputHdrMetadataChangeCallback(probeRecord(2, 1, 1, lines750).data());
    EXPECT_EQ(serve(), 0); /* not in AUTO yet */
    hdrManagerInputPcode(inputPcode(INPUT_2).data(), 16);
    EXPECT_EQ(serve(), 1);
    EXPECT_EQ(hdr3DLutGen.inputs[2].inputMode, PASSTHROUGH);
    ASSERT_TRUE(waitFor([] { return key("HDR_CALIBRATION_INPUT_3") != "<none>"; }));
    EXPECT_EQ(key("HDR_CALIBRATION_INPUT_3"), "040201020100e80301000000");
}

TEST_F(HdrManager, ACardWithoutHdrKeepsButNeitherPostsNorSaves)
{
    platformRecord.cardHwType = 0;
    hdrManagerInputPcode(inputPcode(INPUT_2).data(), 16);
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(hdrManagerState.inputs[2].nits, 1000);
    hdrManagerHeadPcode(headPcode({4, 0, 2, 1, 0, 1, 3, 0xE8, 1, 0x90, 0, 0xCB}).data(), 16);
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(hdrManagerState.heads[0].transferFunction, PQ);
    pdsKeyCallbackInfo change = {nullptr, 1, "HDR_CALIBRATION_INPUT_6", "040502020100640001000000"};
    hdrInputPcodeRestorePointCallbackfn(&change, log4c_category_get("ulm.test"));
    EXPECT_EQ(serve(), 0);
    EXPECT_EQ(hdrManagerState.inputs[5].nits, 100);
    EXPECT_TRUE(log().contains("this card is not HDR capable, HDR processing is disabled."));
    ASSERT_TRUE(savesDone());
    EXPECT_EQ(key("HDR_CALIBRATION_INPUT_3"), "<none>");
    EXPECT_EQ(key("HDR_CALIBRATION_HEAD_1"), "<none>");
}

TEST_F(HdrManager, TheWorkerServesAndLeavesOnTerminate)
{
    hdrManagerService.state = SERVICE_STATE_RUN;
    std::thread worker([] { hdrManagerService.threadEntry(&hdrManagerService); });
    hdrManagerInputPcode(inputPcode(INPUT_2).data(), 16);
    ASSERT_TRUE(waitFor([] { return key("HDR_CALIBRATION_INPUT_3") != "<none>"; }));
    hdrManagerService.state = SERVICE_STATE_TERMINATE;
    hdrManagerService.control(&hdrManagerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
    worker.join();
    /* Nothing is queued once the queue is gone; a new init brings it back. */
    EXPECT_EQ(hdrManagerInputPcode(inputPcode(INPUT_2).data(), 16), 6);
    EXPECT_EQ(hdrManagerServeNext(), 0);
    initService(&hdrManagerService);
    EXPECT_EQ(hdrManagerQueueNotifyAll(), 0);
}

} // namespace
