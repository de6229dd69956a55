/*
 * The scaler sub-module's arithmetic and register guard, the refusal of
 * results it cannot program, and the frame buffer's rotation section.
 */

#include "ScalerTestSupport.h"

#include "layoutManager/scalerPrivate.h"

#include <functional>
#include <memory>

using namespace layoutTest;

namespace {

struct RatioCase {
    uint32_t a, b, fixed;
};

/* (a - b) / b in 18 fractional bits, 24-bit two's complement; below 1 the value is ceil(x - 1). */
TEST(ScalerRatioToFixed, Table)
{
    const RatioCase cases[] = {
        {1001, 1000, 262},                  /* 262.144 truncated */
        {999, 1000, 16777216 - 263},        /* ceil(-262.144 - 1) = -263 */
        {1920, 960, 262144},                /* halving: 1.0 */
        {960, 1920, 16777216 - 131073},     /* -0.5: ceil(-131073) */
        {1920, 1920, 0},
        {540, 1080, 16777216 - 131073},
        {3840, 1280, 524288},               /* 2.0 */
        {720, 1920, 16777216 - 163841},     /* -0.625 x 262144 = -163840, less 1 */
        {1, 3, 16777216 - 174763},          /* -0.6666667 x 262144 = -174762.67, ceil(-174763.67) */
        {5, 0, 0},                          /* no output size: nothing to scale */
    };
    for (const RatioCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.a) + "/" + std::to_string(c.b));
        EXPECT_EQ(scalerRatioToFixed(c.a, c.b), c.fixed);
    }
}

TEST(ScalerHeadIndexMap, SameOrOtherSide)
{
    const uint32_t other[4] = {2, 3, 0, 1};
    for (uint32_t i = 0; i < 4; i++) {
        EXPECT_EQ(scalerHeadIndexMap(1, 1, i), i);
        EXPECT_EQ(scalerHeadIndexMap(0, 2, i), other[i]);
    }
    EXPECT_EQ(scalerHeadIndexMap(0, 0, 4), 0u);
}

class ScalerRegisters : public ScalerFixture {};

TEST_F(ScalerRegisters, WritesOnlyInsideTheRanges)
{
    struct Case {
        uint32_t device, address;
        bool written;
    } cases[] = {
        {3, 6144, true},  {3, 6719, true},  {3, 6720, false}, {3, 7168, true},  {3, 7173, false},
        {3, 7208, true},  {3, 7209, false}, {3, 7424, true},  {3, 7568, false}, {1, 3264, true},
        {1, 3272, false}, {1, 3291, true},  {1, 5135, true},  {1, 5200, false}, {1, 5310, true},
        {1, 8191, true},  {1, 8192, false}, {1, 100, false},  {5, 6144, false}, {0, 6144, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.device) + ":" + std::to_string(c.address));
        cardsimClearLogs();
        size_t mark = log().mark();
        EXPECT_EQ(write2fpga(c.device, c.address, 0x1234), c.written ? 0 : -1);
        int fpga = c.device == 1 ? FSM : DPS;
        EXPECT_EQ(writesOf(fpga).size(), c.written && (c.device == 1 || c.device == 3) ? 1u : 0u);
        EXPECT_EQ(log().since(mark).find("write2fpga ERROR!!!!") != std::string::npos, !c.written);
    }
    /* Value sent big-endian: the low 16 bits. */
    cardsimClearLogs();
    write2fpga(3, 7168, 0x12345);
    EXPECT_EQ(cardsimSpiFrames(DPS).back(), std::vector<uint8_t>({0x00, 0x00, 0x1C, 0x00, 0x23, 0x45}));
}

TEST_F(ScalerRegisters, AFailedTransferReachesTheCallerWithOneLine)
{
    cardsimClearLogs();
    cardsimSpiFail(CARDSIM_DPS, 1);
    size_t mark = log().mark();
    EXPECT_NE(write2fpga(3, 7168, 0x1234), 0);
    EXPECT_NE(log().since(mark).find("write2fpga: write of device 3 register 7168 (0x1c00) = 4660 failed"),
              std::string::npos);
    /* The next transfer goes through again. */
    mark = log().mark();
    EXPECT_EQ(write2fpga(3, 7168, 0x1234), 0);
    EXPECT_EQ(log().since(mark).find("failed"), std::string::npos);
}

TEST_F(ScalerRegisters, BandwidthReadBack)
{
    EXPECT_EQ(scalerReadRegister(3, 6144 + 64 * 2 + 16), 2048 + 16);
    cardsimScalerSetBandwidth(2, 1000);
    EXPECT_EQ(scalerReadRegister(3, 6144 + 64 * 2 + 16), 1016);
    EXPECT_EQ(cardsimScalerBandwidthRegister(2), 1016);
}

/* A narrower read-back leaves nothing to reserve: written 0, not a wrapped 16-bit value. */
TEST_F(ScalerRegisters, ReserveNeverNegative)
{
    input(lockedInput(0, 12, 1920, 1080, 1));
    cardsimScalerSetBandwidth(0, 1000);
    send(windowLayout(0, {0, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}));
    send(applyLayout(0, 1));
    EXPECT_EQ(writesOf(DPS, 6144 + 27, 6144 + 27), std::vector<Write>({{6144 + 27, 0}}));
}

/* Results the scaler cannot program: nothing is written and the commit reports the failure. */
TEST_F(ScalerRegisters, RefusedResults)
{
    struct Case {
        const char *name;
        std::function<void(sysResMngtResult_t &)> spoil;
        const char *message;
    } cases[] = {
        {"TenWindows", [](sysResMngtResult_t &r) { r.windowTotal = 10; },
         "Received window quantity value is not valid, Error no 2"},
        {"ScanningFormat", [](sysResMngtResult_t &r) { r.windows[0].scanningFormat = 2; },
         "Received data is not valid, Error no 9"},
        {"CropWord", [](sysResMngtResult_t &r) { r.windows[0].vInCropEndPercent = 51201; },
         "Received data is not valid, Error no 18"},
        {"CropsWiderThanInput",
         [](sysResMngtResult_t &r) {
             r.windows[0].hInCropStartPercent = 30000;
             r.windows[0].hInCropEndPercent = 30000;
         },
         "Received data is not valid, Error no 20"},
        {"EnabledWithoutScaler", [](sysResMngtResult_t &r) { r.windows[0].scalerId = SCALER_ID_NONE; },
         "Received data is not valid, Error no 19"},
    };
    input(lockedInput(0, 12, 1920, 1080, 1));
    send(windowLayout(0, {0, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}));
    send(applyLayout(0, 1));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<sysResMngtResult_t> result(new sysResMngtResult_t);
        layoutManagerSysResMngtResultOf(layoutManagerSysResMngtHeadData(0), result.get());
        result->eventKind = SRM_KIND_APPLY;
        result->windows[0].windowConfigHasChanged = 1;
        c.spoil(*result);
        cardsimClearLogs();
        size_t mark = log().mark();
        const uint32_t info[2] = {SRM_KIND_APPLY, 0};
        targetEventSystemResMngt(result.get(), sizeof *result, info);
        drain();
        EXPECT_TRUE(writesOf(DPS).empty());
        EXPECT_TRUE(writesOf(FSM).empty());
        std::string text = log().since(mark);
        EXPECT_NE(text.find(c.message), std::string::npos);
        EXPECT_NE(text.find("video path processing Failed"), std::string::npos);
    }
}

/*
 * The notification carries a copy: what resource management does to its own
 * state after posting does not reach the scaler, and the scaler writes
 * nothing back into it.
 */
TEST_F(ScalerRegisters, TheScalerProgramsTheResultAsItWasPosted)
{
    input(lockedInput(0, 12, 1920, 1080, 1));
    send(windowLayout(0, {0, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}));
    send(applyLayout(0, 1));
    sysResMngtHeadData_t *hd = layoutManagerSysResMngtHeadData(0);
    std::unique_ptr<sysResMngtResult_t> result(new sysResMngtResult_t);
    layoutManagerSysResMngtResultOf(hd, result.get());
    result->eventKind = SRM_KIND_APPLY;
    result->windows[0].windowConfigHasChanged = 1;
    const uint32_t info[2] = {SRM_KIND_APPLY, 0};
    targetEventSystemResMngt(result.get(), sizeof *result, info);
    /* Spoiled after the post: the copy on its way is still good. */
    std::unique_ptr<postScalerData_t> saved(new postScalerData_t(hd->post));
    hd->post.inputs[0].windows[0].scanningFormat = 2;
    hd->post.newDataFlag = SRM_NEW_DATA_POSTED;
    cardsimClearLogs();
    size_t mark = log().mark();
    drain();
    EXPECT_EQ(writesOf(DPS, 6144 + 13, 6144 + 13).back(), (Write{6144 + 13, 1919}));
    EXPECT_NE(log().since(mark).find("video path processing Succeeded"), std::string::npos);
    EXPECT_EQ(hd->post.inputs[0].windows[0].scanningFormat, 2u);
    EXPECT_EQ(hd->post.newDataFlag, (uint32_t)SRM_NEW_DATA_START);
    hd->post = *saved;
}

TEST_F(ScalerRegisters, FrameBufferRegionsAtForcedLayout)
{
    targetEventForceLayout();
    drain();
    cardsimClearLogs();
    layoutManagerInstanceInfo *instance = layoutManagerGetInstance();
    instance->event.head = 0;
    instance->event.headEvent = FORCE_LAYOUT_EVENT;
    notifySubModulesOfChange(instance->headLists[0], LAYOUT_NOTIFY_HEAD_EVENT);
    std::vector<Write> regions = writesOf(FSM, 4096, 4096 + 8 * 13);
    ASSERT_EQ(regions.size(), 13u * 4);
    /* Scaler 6: x 96-191, y 1280-2559; client 12: x 0-511, y 5088-5567. */
    EXPECT_EQ(std::vector<Write>(regions.begin() + 24, regions.begin() + 28),
              std::vector<Write>({{4144, 96}, {4145, 1280}, {4148, 191}, {4149, 2559}}));
    EXPECT_EQ(std::vector<Write>(regions.end() - 4, regions.end()),
              std::vector<Write>({{4192, 0}, {4193, 5088}, {4196, 511}, {4197, 5567}}));
    EXPECT_EQ(writesOf(FSM, 3264, 3291).size(), 13u);
}

/* ---- frame buffer ---- */

class FrameBuffer : public ScalerFixture {
protected:
    /* The rotation section's registers of heads 0 and 1 (the scaler writes between them too). */
    std::vector<Write> rotationWrites()
    {
        static const std::vector<uint32_t> section = {0xCC2, 0xCD3, 0x1252, 0x1253, 0x14CA, 0xCC5,
                                                      0xCD7, 0x125A, 0x125B, 0x14CB, 0x148C};
        std::vector<Write> out;
        for (const Write &w : writesOf(FSM))
            if (std::find(section.begin(), section.end(), w.address) != section.end())
                out.push_back(w);
        return out;
    }
};

struct RotationCase {
    const char *name;
    int head;
    uint8_t rotation;
    uint32_t mode4k;
    std::vector<Write> writes;
};

TEST_F(FrameBuffer, RotationSection)
{
    const RotationCase cases[] = {
        /* 1080 / 4 + 7 = 277 */
        {"Head0Rotation1", 0, 1, 0, {{0xCC2, 1}, {0xCD3, 1}, {0x1252, 4608}, {0x1253, 277}, {0x14CA, 11}}},
        /* 1920 / 4 + 4607 + 8 / 4 = 5089 */
        {"Head0Rotation2In4k", 0, 2, 1, {{0xCC2, 1}, {0xCD3, 1}, {0x1252, 5089}, {0x1253, 8}, {0x14CA, 11}}},
        /* 480 + 4608 - 2 = 5086; 4k control on */
        {"Head1Rotation1In4k",
         1,
         1,
         1,
         {{0xCC5, 1}, {0xCD7, 1}, {0x125A, 5086}, {0x125B, 277}, {0x14CB, 12}, {0x148C, 0x20B}}},
        {"Head1Rotation2", 1, 2, 0, {{0xCC5, 1}, {0xCD7, 1}, {0x125A, 5567}, {0x125B, 8}, {0x14CB, 12}, {0x148C, 0xB}}},
        /* An unknown rotation has no start values: nothing is written. */
        {"Head0UnknownRotation", 0, 5, 0, {}},
    };
    for (const RotationCase &c : cases) {
        SCOPED_TRACE(c.name);
        targetSet4kMode(c.mode4k);
        send(headResolution(c.head, c.rotation));
        cardsimClearLogs();
        send(applyLayout(c.head, 0));
        EXPECT_EQ(rotationWrites(), c.writes);
        /* Again without a new resolution: nothing. */
        cardsimClearLogs();
        send(applyLayout(c.head, 0));
        EXPECT_TRUE(rotationWrites().empty());
    }
}

TEST_F(FrameBuffer, OtherRearSlotsWriteNothing)
{
    platformRecord.rearSlot = 3;
    send(headResolution(0, 1));
    cardsimClearLogs();
    send(applyLayout(0, 0));
    EXPECT_TRUE(rotationWrites().empty());
}

TEST_F(FrameBuffer, FourKModeChangeProgramsAgain)
{
    send(headResolution(1, 1));
    send(applyLayout(1, 0));
    cardsimClearLogs();
    targetEvent4kModeChanged(1);
    drain();
    EXPECT_EQ(writesOf(FSM, 0x148C, 0x148C), std::vector<Write>({{0x148C, 0x20B}}));
    targetSet4kMode(0);
}

} // namespace
