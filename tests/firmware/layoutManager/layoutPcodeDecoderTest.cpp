/*
 * The layout pcode decoders: pcode bytes in, stored words, head event and
 * result out; unchanged values dropped, short pcodes refused, heads remapped.
 */

#include "LayoutTestSupport.h"

using namespace layoutTest;

namespace {

struct DecoderCase {
    const char *name;
    uint8_t classCode;
    uint8_t id;
    std::vector<uint8_t> data;
    uint32_t minimum;
    int head;                       /* managed head the pcode addresses */
    uint32_t headEvent;
    uint32_t window;
    size_t storedAt;                /* offset in privateLayoutData */
    std::vector<uint32_t> stored;   /* the words stored there */
    bool neverDropped;
    const char *sizeMessage;        /* with %d %d for length and minimum */
};

constexpr size_t headAt(int h) { return 8 + 9620 * (size_t)h; }
constexpr size_t windowAt(int h, int w) { return headAt(h) + 400 + 144 * (size_t)w; }

std::vector<uint8_t> padded(std::vector<uint8_t> data, size_t size)
{
    data.resize(size, 0);
    return data;
}

const DecoderCase decoderCases[] = {
    {"ApplyLayout", 20, 0, {4, 1, 7, 0}, 4, 1, HEAD_APPLY_EVENT, 0, headAt(1) + 9616, {7}, true,
     "Error: APPLY_LAYOUT size of the pcode is %d Expected is: %d"},
    {"WindowPriority", 20, 1, {5, 0, 9, 33}, 4, 2, WINDOW_PRIORITY_EVENT, 9, windowAt(2, 9), {33}, false,
     "Error: SET_WINDOW_PRIORITY The size of the pcode is %d Expected is: %d"},
    {"HeadResolution",
     20,
     2,
     {4, 0, 1, 0x17, 0x6a, 0x08, 0xd7, 0xaa, 0xa0, 0x07, 0x80, 0x04, 0x38, 0x08, 0x98, 0x04, 0x65, 2, 3, 0x01, 0x02,
      0x03, 0x04, 0},
     24,
     0,
     HEAD_RESOLUTION_EVENT,
     0,
     headAt(0),
     {1, 5994, 148351648, 1920, 1080, 2200, 1125, 2, 3, 0x102, 0x304, 0, 0, 0, 0},
     false,
     "Error: SET_HEAD_RESOLUTION The size of the pcode is %d Expected is: %d"},
    {"WindowLayout",
     20,
     3,
     padded({5, 1, 63, 6, 2, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 1, 0x09, 0x0a, 0x10, 0x11, 0x12, 0x13,
             0x14, 0x15, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x2b, 3, 0x30,
             0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x3b},
            52),
     52,
     3,
     WINDOW_LAYOUT_EVENT,
     63,
     windowAt(3, 63) + 4,
     {63, 6, 2, 0x102, 0x304, 0x506, 0x708, 1, 0x90a, 0x1011, 0x1213, 0x1415, 0x1617, 0x2021, 0x2223, 0x2425, 0x2627,
      0x2829, 0x2a2b, 3, 0x3031, 0x3233, 0x3435, 0x3637, 0x3839, 0x3a3b, 0},
     false,
     "Error: SET_WINDOW_LAYOUT The size of the pcode is %d Expected is: %d"},
    {"DviHeadAlignment",
     20,
     4,
     padded({4, 1, 1, 0, 88, 0, 44, 0, 148, 0, 4, 0, 5, 0, 36}, 16),
     16,
     1,
     DVI_HEAD_ALIGNMENT_EVENT,
     0,
     headAt(1) + 180,
     {1, 88, 44, 148, 4, 5, 36, 0},
     false,
     "Error: SET_DVI_HEAD_ALIGNMENT The size of the pcode is %d Expected is: %d"},
    {"VgaHeadAlignment",
     20,
     5,
     padded({4, 0, 2, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0x01, 0x07}, 20),
     20,
     0,
     VGA_HEAD_ALIGNMENT_EVENT,
     0,
     headAt(0) + 212,
     {2, 1, 2, 3, 4, 5, 6, 0x107, 0},
     false,
     "Error: SET_VGA_HEAD_ALIGNMENT The size of the pcode  is %d Expected is: %d"},
    {"DviBackground",
     20,
     6,
     padded({5, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0x01, 0x05, 0x02, 0x06}, 16),
     16,
     2,
     DVI_BACKGROUND_ATTRIBUTES_EVENT,
     0,
     headAt(2) + 248,
     {1, 2, 3, 4, 0x105, 0x206, 0},
     false,
     "Error: SET_DVI_BACKGROUND_ATTRIBUTES The size of the pcode is %d Expected is: %d"},
    {"WindowAttributes",
     20,
     7,
     padded({4, 1, 12, 1, 2, 3, 4, 5, 6}, 12),
     12,
     1,
     WINDOW_ATTRIBUTES_EVENT,
     12,
     windowAt(1, 12) + 112,
     {12, 1, 2, 3, 4, 5, 6, 0},
     false,
     "Error: SET_WINDOW_ATTRIBUTES The size of the pcode is %d Expected is: %d"},
    {"HeadAttributes",
     20,
     8,
     {5, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29,
      30},
     32,
     3,
     HEAD_ATTRIBUTES_EVENT,
     0,
     headAt(3) + 60,
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30},
     false,
     "Error: SET_HEAD_ATTRIBUTES The size of the pcode is %d Expected is: %d"},
    {"BrightnessContrastGamma",
     20,
     9,
     padded({4, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 12),
     12,
     0,
     HEAD_BRIGHTNESS_CONTRAST_GAMMA_EVENT,
     0,
     headAt(0) + 316,
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 0},
     false,
     "Error: SET_HEAD_BRIGHTNESS_CONTRAST_GAMMA The size of the pcode is %d Expected is: %d"},
    {"VgaOutput",
     20,
     10,
     padded({4, 1, 1, 2, 0x01, 0x03, 0x02, 0x04, 5, 6, 7}, 12),
     12,
     1,
     VGA_OUTPUT_EVENT,
     0,
     headAt(1) + 276,
     {1, 2, 0x103, 0x204, 5, 6, 7, 0},
     false,
     "Error: SET_VGA_OUTPUT The size of the pcode is %d Expected is: %d"},
    {"ColorSaturation", 20, 12, {5, 1, 200, 0}, 4, 3, HEAD_COLOR_SATURATION_EVENT, 0, headAt(3) + 308, {200}, false,
     "Error: SET_HEAD_COLOR_SATURATION The size of the pcode is %d Expected is: %d"},
    {"AudioMonitoringSource",
     10,
     11,
     padded({5, 0, 1, 2, 3, 4, 5, 6, 7}, 12),
     12,
     2,
     HEAD_AUDIO_MONITOR_EVENT,
     0,
     headAt(2) + 356,
     {1, 2, 3, 4, 5, 6, 7, 0},
     false,
     "Error: The size of the pcode set_audio_monitoring_source_pcode is %d Expected is: %d"},
    {"SystemFrameRate", 10, 7, {4, 60, 0, 0}, 4, 0, SYSTEM_FRAME_RATE_EVENT, 0, 4, {60}, true,
     "Error: SET_SYSTEM_FRAME_RATE The size of the pcode is %d Expected is: %d"},
};

class LayoutDecoder : public LayoutFixture, public ::testing::WithParamInterface<DecoderCase> {};

std::string format(const char *fmt, int a, int b)
{
    char text[256];
    snprintf(text, sizeof text, fmt, a, b);
    return text;
}

TEST_P(LayoutDecoder, StoresChangedValuesDropsRepeatsRefusesShortPcodes)
{
    const DecoderCase &c = GetParam();
    layoutEventInfo *event = &layoutManagerGetInstance()->event;
    const uint8_t *data = (const uint8_t *)layoutGetPrivateData();

    std::vector<uint8_t> p = pcode(c.classCode, c.id, c.data);
    event->head = 99;
    ASSERT_EQ(layoutPcodeDecoder(p.data()), LAYOUT_RESULT_OK);
    EXPECT_EQ(event->head, (uint32_t)c.head);
    EXPECT_EQ(event->headEvent, c.headEvent);
    EXPECT_EQ(event->window, c.window);
    std::vector<uint32_t> stored(c.stored.size());
    memcpy(stored.data(), data + c.storedAt, stored.size() * 4);
    EXPECT_EQ(stored, c.stored);

    /* The same pcode again changes nothing. */
    size_t mark = log().mark();
    event->headEvent = 0;
    int again = layoutPcodeDecoder(p.data());
    if (c.neverDropped) {
        EXPECT_EQ(again, LAYOUT_RESULT_OK);
        EXPECT_EQ(event->headEvent, c.headEvent);
    } else {
        EXPECT_EQ(again, LAYOUT_RESULT_UNCHANGED);
        EXPECT_NE(log().since(mark).find("because no change!"), std::string::npos);
    }

    /* One byte short of the minimum: refused, nothing stored. */
    std::vector<uint8_t> shortData(c.data.begin(), c.data.begin() + (c.minimum - 1));
    shortData[2] ^= 0x01;
    std::vector<uint8_t> before(data + c.storedAt, data + c.storedAt + c.stored.size() * 4);
    mark = log().mark();
    std::vector<uint8_t> shortPcode = pcode(c.classCode, c.id, shortData);
    EXPECT_EQ(layoutPcodeDecoder(shortPcode.data()), LAYOUT_RESULT_BAD_SIZE);
    EXPECT_NE(log().since(mark).find(format(c.sizeMessage, (int)c.minimum - 1, (int)c.minimum)), std::string::npos);
    EXPECT_EQ(std::vector<uint8_t>(data + c.storedAt, data + c.storedAt + c.stored.size() * 4), before);
}

INSTANTIATE_TEST_SUITE_P(Pcodes, LayoutDecoder, ::testing::ValuesIn(decoderCases),
                         [](const ::testing::TestParamInfo<DecoderCase> &info) { return std::string(info.param.name); });

class LayoutDecoderRules : public LayoutFixture {};

TEST_F(LayoutDecoderRules, ColorSaturationWithThreeBytesNamesThreeAndFour)
{
    size_t mark = log().mark();
    std::vector<uint8_t> p = pcode(20, 12, {4, 0, 9});
    EXPECT_EQ(layoutPcodeDecoder(p.data()), LAYOUT_RESULT_BAD_SIZE);
    EXPECT_NE(log().since(mark).find("Error: SET_HEAD_COLOR_SATURATION The size of the pcode is 3 Expected is: 4"),
              std::string::npos);
}

TEST_F(LayoutDecoderRules, UnhandledPairsAreRefusedWithTheirClass)
{
    struct Case {
        uint8_t classCode, id;
        const char *logged;
    } cases[] = {
        {20, 11, "layoutPcodeDecoder Unknown/Unhandled PCODE_LAYOUT_CLASS opcode_id 11."},
        {10, 3, "layoutPcodeDecoder Unknown/Unhandled PCODE_DEVICE_ACCESS_CLASS opcode_id 3."},
        {30, 1, "layoutPcodeDecoder Unknown/Unhandled opcode_class 30."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.logged);
        size_t mark = log().mark();
        std::vector<uint8_t> p = pcode(c.classCode, c.id, {4, 0, 0, 0});
        EXPECT_EQ(layoutPcodeDecoder(p.data()), LAYOUT_RESULT_BAD_SIZE);
        EXPECT_NE(log().since(mark).find(c.logged), std::string::npos);
    }
}

TEST_F(LayoutDecoderRules, WindowIdsAndPrioritiesAtOrAboveSixtyFourAreRefused)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> pcodeBytes;
        const char *logged;
    } cases[] = {
        {"priority", pcode(20, 1, {4, 0, 3, 64}), "QVS sent win_priority 64 greater than LayoutManager limit of 64!"},
        {"priorityWindow", pcode(20, 1, {4, 0, 64, 1}), "greater than LayoutManager limit of 64!"},
        {"layout", pcode(20, 3, padded({4, 0, 64}, 52)),
         "QVS sent set_window_layout for window 64 greater than LayoutManager limit of 64!"},
        {"attributes", pcode(20, 7, padded({4, 0, 200}, 12)),
         "QVS sent set_window_attributes_pcode for window 200 greater than LayoutManager limit of 64!"},
    };
    std::vector<uint8_t> before((const uint8_t *)layoutGetPrivateData(),
                                (const uint8_t *)layoutGetPrivateData() + LAYOUT_DATA_SIZE);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t mark = log().mark();
        EXPECT_EQ(layoutPcodeDecoder(c.pcodeBytes.data()), LAYOUT_RESULT_NO_HEAD);
        EXPECT_NE(log().since(mark).find(c.logged), std::string::npos);
    }
    EXPECT_EQ(memcmp(before.data(), layoutGetPrivateData(), LAYOUT_DATA_SIZE), 0);
}

TEST_F(LayoutDecoderRules, UnsupportedTimingsBecomeTheNearestSupportedOne)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> timing; /* frameRate, pixelClock, h, v, hMax, vMax */
        headResolution_t stored;
        bool defaulted;
    } cases[] = {
        {"Supported5994",
         {0x17, 0x6a, 0x08, 0xd7, 0xaa, 0xa0, 0x07, 0x80, 0x04, 0x38, 0x08, 0x98, 0x04, 0x65},
         {1, 5994, 148351648, 1920, 1080, 2200, 1125, 2, 0, 0, 0, {}},
         false},
        {"WrongClockAt5994",
         {0x17, 0x6a, 0x08, 0xd9, 0xee, 0x20, 0x07, 0x80, 0x04, 0x38, 0x08, 0x98, 0x04, 0x65},
         {1, 5994, 148351648, 1920, 1080, 2200, 1125, 2, 0, 0, 0, {}},
         true},
        {"Small720pAt50",
         {0x13, 0x88, 0x04, 0x6b, 0xf5, 0x20, 0x05, 0x00, 0x02, 0xd0, 0x07, 0xbc, 0x02, 0xee},
         {1, 5000, 148500000, 1920, 1080, 2640, 1125, 2, 0, 0, 0, {}},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data = {4, 0, 1};
        data.insert(data.end(), c.timing.begin(), c.timing.end());
        data.insert(data.end(), {2, 0, 0, 0, 0, 0, 0});
        /* Start from a different record so the pcode is a change. */
        layoutGetPrivateData()->heads[0].resolution.rotation = 7;
        size_t mark = log().mark();
        std::vector<uint8_t> p = pcode(20, 2, data);
        EXPECT_EQ(layoutPcodeDecoder(p.data()), LAYOUT_RESULT_OK);
        EXPECT_EQ(layoutManagerGetInstance()->event.headEvent, HEAD_RESOLUTION_EVENT);
        EXPECT_EQ(memcmp(&layoutGetPrivateData()->heads[0].resolution, &c.stored, sizeof c.stored), 0);
        EXPECT_EQ(log().since(mark).find("defaulting to Head Resolution 1920x1080") != std::string::npos, c.defaulted);
    }
}

/* The remapper: (dstSlotId, head id) -> managed head, for the card in slot index 0 and in slot index 1. */
TEST_F(LayoutDecoderRules, RemapsSlotAndHeadIncludingTheRearSlotSwap)
{
    struct Case {
        uint32_t cardSlotIndex, dstSlotId, headId;
        int managedHead; /* -1: no head */
    } cases[] = {
        {0, 4, 0, 0}, {0, 4, 1, 1}, {0, 5, 0, 2}, {0, 5, 1, 3}, {0, 6, 0, -1}, {0, 4, 2, -1},
        {1, 5, 0, 0}, {1, 5, 1, 1}, {1, 4, 0, 2}, {1, 4, 1, 3}, {2, 5, 1, 3}, {3, 4, 0, 0},
    };
    uint8_t saturation = 50;
    for (const Case &c : cases) {
        saturation++; /* a new value each time, so every accepted pcode is a change */
        SCOPED_TRACE(::testing::Message() << "card slot " << c.cardSlotIndex << " dst " << c.dstSlotId << " head "
                                          << c.headId);
        static const layoutPcodeRemap initial[LAYOUT_HEAD_COUNT] = {{0, 4, 0, 0}, {1, 4, 1, 0}, {2, 5, 0, 0}, {3, 5, 1, 0}};
        memcpy(layoutPcodeRemapTable, initial, sizeof initial);
        layoutManagerTargetEventApplyCardSlot(c.cardSlotIndex);
        for (const layoutPcodeRemap &entry : layoutPcodeRemapTable)
            EXPECT_EQ(entry.layoutDone, 1u);
        size_t mark = log().mark();
        std::vector<uint8_t> p = pcode(20, 12, {(uint8_t)c.dstSlotId, (uint8_t)c.headId, saturation, 0});
        int result = layoutPcodeDecoder(p.data());
        if (c.managedHead < 0) {
            EXPECT_EQ(result, LAYOUT_RESULT_NO_HEAD);
            EXPECT_NE(log().since(mark).find("layoutManager Managed HeadCount is 4 pcode requested head for slot id " +
                                             std::to_string(c.dstSlotId) + " and head id " + std::to_string(c.headId) +
                                             " is incorrect remapping NOT CORRECT!!!!"),
                      std::string::npos);
        } else {
            EXPECT_EQ(result, LAYOUT_RESULT_OK);
            EXPECT_EQ(layoutManagerGetInstance()->event.head, (uint32_t)c.managedHead);
            EXPECT_EQ(layoutGetPrivateData()->heads[c.managedHead].colorSaturation, saturation);
        }
    }
}

/* Set-device registers 4, 5 and 6 of devices 150 (head id 0) and 151 (head id 1). */
TEST_F(LayoutDecoderRules, SetDeviceRegistersRaiseTheirEventOnTheMappedHead)
{
    struct Case {
        const char *name;
        uint8_t slot;
        uint16_t device, reg;
        uint32_t value;
        int result, head;
        uint32_t headEvent;
        size_t storedAt; /* in the head record */
        const char *logged;
    } cases[] = {
        {"Delay", 4, 150, 5, 40, 0, 0, DELAY_REG_EVENT, 396, "SET_DEVICE_REGISTER DELAY_REG_ID! New value= 40."},
        {"DelayAgain", 4, 150, 5, 40, 14, 0, 0, 396, "Dropping AUDIO_DELAY Pcode because no change!"},
        {"Aes", 5, 151, 6, 0x12345678, 0, 3, AES_VOLUME_REG_EVENT, 388, "AES_VOLUME_REG_ID! New value= 305419896."},
        {"AesAgain", 5, 151, 6, 0x12345678, 14, 3, 0, 388, "Dropping AES_VOLUME Pcode because no change!"},
        {"Dac", 4, 151, 4, 3, 0, 1, DAC_VOLUME_REG_EVENT, 392, "SET_DEVICE_REGISTER DAC_VOLUME_REG_ID! New value= 3."},
        {"DacAgain", 4, 151, 4, 3, 14, 1, 0, 392, "Dropping DAC_VOLUME Pcode because no change!"},
        {"OtherDevice", 4, 152, 4, 9, 13, -1, 0, 0, nullptr},
        {"OtherSlot", 7, 150, 4, 9, 13, -1, 0, 0, "remapping NOT CORRECT!!!!"},
        {"OtherRegister", 4, 150, 7, 9, 6, -1, 0, 0,
         "layoutPcodeDecoder Unknown/Unhandled set_device_register_pcode registerId 7."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t payload[9] = {c.slot};
        memcpy(payload + 1, &c.device, 2);
        memcpy(payload + 3, &c.reg, 2);
        memcpy(payload + 5, &c.value, 4);
        layoutManagerGetInstance()->event.headEvent = 0;
        size_t mark = log().mark();
        EXPECT_EQ(layoutSetDeviceRegisterDecoder(payload), c.result);
        if (c.logged) {
            EXPECT_NE(log().since(mark).find(c.logged), std::string::npos);
        }
        if (c.head < 0)
            continue;
        EXPECT_EQ(layoutManagerGetInstance()->event.head, (uint32_t)c.head);
        EXPECT_EQ(layoutManagerGetInstance()->event.headEvent, c.headEvent);
        uint32_t stored;
        memcpy(&stored, (const uint8_t *)&layoutGetPrivateData()->heads[c.head] + c.storedAt, 4);
        EXPECT_EQ(stored, c.value);
    }
}

} // namespace
