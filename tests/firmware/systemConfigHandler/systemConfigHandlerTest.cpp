/*
 * The system-configuration service on the card emulator: black/freeze pcodes
 * and locked formats end as the DPS-FPGA probe block writes worked out by
 * hand; the luma and teletext listener, the reboot pcode, the queue and the
 * thread's start and stop.
 */

#include "../layoutManager/ScalerTestSupport.h"

#include "systemConfigHandler/systemConfigHandlerPrivate.h"

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "../../support/ThreadState.h"

using namespace layoutTest;

namespace {

struct Zone {
    uint16_t freeze, black, hStart, vStart, hStop, vStop;
};

std::vector<uint8_t> blackFreezePcode(uint8_t channel, uint8_t format, const std::vector<Zone> &zones)
{
    std::vector<uint8_t> d = {4, channel, format};
    for (const Zone &z : zones)
        for (uint16_t v : {z.freeze, z.black, z.hStart, z.vStart, z.hStop, z.vStop})
            put16(d, v);
    d.resize(3 + 48, 0);
    return pcode(10, 10, d);
}

/* A videoProbeChangeRecord as the video probes lay it out. */
std::vector<uint8_t> probeRecord(uint32_t input, uint32_t format, int valid, uint32_t report = 1)
{
    std::vector<uint8_t> r(38, 0);
    memcpy(&r[4], &report, 4);
    memcpy(&r[8], &input, 4);
    r[12] = (uint8_t)(valid ? 1 : 0);
    r[17] = (uint8_t)format;
    return r;
}

class SystemConfig : public ScalerFixture {
protected:
    void SetUp() override
    {
        ScalerFixture::SetUp();
        initService(&systemConfigHandlerService);
        systemConfigHandlerService.preStart(&systemConfigHandlerService);
        cardsimClearLogs();
    }
    void TearDown() override
    {
        systemConfigHandlerService.control(&systemConfigHandlerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        ScalerFixture::TearDown();
    }
    int blackFreeze(const std::vector<uint8_t> &p) { return systemConfigHandlerBlackFreeze(p.data(), (uint32_t)p.size()); }
    /* Queues a probe change and lets the service's thread body serve it. */
    void lock(uint32_t input, uint32_t format)
    {
        std::vector<uint8_t> r = probeRecord(input, format, 1);
        probingDataChanged(r.data());
        EXPECT_EQ(systemConfigHandlerServeNext(0), 1);
    }
    /* Waits (bounded) until the DPS-FPGA saw `count` writes: the listener writes without waiting. */
    static std::vector<Write> waitForDpsWrites(size_t count)
    {
        for (int i = 0; i < 200 && writesOf(DPS).size() < count; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return writesOf(DPS);
    }
};

std::vector<Write> block(uint32_t input, const std::vector<uint16_t> &values)
{
    std::vector<Write> out;
    for (size_t i = 0; i < values.size(); i++)
        out.push_back({0x1040 + 128 * input + (uint32_t)i, values[i]});
    return out;
}

/*
 * Input 3, format index 1, zone 0: freeze 8, black 400, h 100-800, v 10-500.
 * Format index 1 converts pixels as v x 2.001391 - 2 (198, 1599) and lines as
 * 25 + v x 0.49912435 (29, 274); blacks are divided by 4. Format 24 is class
 * 3: MIN (8 + 8 x 1750) / 16 = 875, MAX (8 + 8 x 2000) / 16 = 1000.
 */
TEST_F(SystemConfig, BlackFreezeZonesReachTheBlockOnceTheFormatLocks)
{
    std::vector<Zone> zones = {{8, 400, 100, 10, 800, 500}, {0, 40, 0, 0, 0, 0}, {0, 80, 0, 0, 0, 0},
                               {0, 120, 0, 0, 0, 0}};
    EXPECT_EQ(blackFreeze(blackFreezePcode(3, 1, zones)), 0);
    EXPECT_TRUE(writesOf(DPS).empty()) << "the input is not locked to format index 1 yet";

    size_t mark = log().mark();
    lock(3, 24);
    EXPECT_EQ(writesOf(DPS), block(3, {100, 10, 20, 30, 875, 1000, 0, 0, 198, 1599, 29, 274}));
    EXPECT_EQ(block(3, {0})[0].address, 0x11C0u);
    std::string logged = log().since(mark);
    EXPECT_NE(logged.find("Sw threshold is 8. Values writing to FPGA are MIN: 875 & MAX: 1000!"), std::string::npos);
    EXPECT_NE(logged.find("Writing to FPGA video 3: nbRegisters 12; Black Thresh 100, Freeze Thresh Max 1000 Min 875, "
                          "and zone start_pixel 198, stop_pixel 1599, start_line 29, stop_line 274."),
              std::string::npos);

    cardsimClearLogs();
    mark = log().mark();
    lock(3, 24);
    EXPECT_TRUE(writesOf(DPS).empty());
    EXPECT_NE(log().since(mark).find("videoInputMsgInfoPtr video locked but freeze zone already set."),
              std::string::npos);

    /* A pcode for the format the input is locked to is written at once. */
    cardsimClearLogs();
    zones[0].freeze = 16;
    EXPECT_EQ(blackFreeze(blackFreezePcode(3, 1, zones)), 0);
    EXPECT_EQ(writesOf(DPS), block(3, {100, 10, 20, 30, 1, 1, 0, 0, 198, 1599, 29, 274}));
}

/* Limits by format class at thresholds 0, 4 and 16 (integer division toward zero). */
TEST_F(SystemConfig, FreezeLimitsFollowTheFormatClass)
{
    struct Case {
        uint32_t format, formatIndex;
        uint16_t threshold, freezeMin, freezeMax;
    } cases[] = {
        {0, 2, 0, 4000, 5900},   {8, 2, 16, 1, 1},       {10, 3, 4, 6000, 10875}, {54, 3, 0, 8000, 14500},
        {22, 0, 0, 900, 1700},   {22, 0, 12, 225, 425},  {24, 1, 0, 1750, 2000},
    };
    uint32_t input = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(blackFreeze(blackFreezePcode((uint8_t)input, (uint8_t)c.formatIndex, {{c.threshold, 0, 0, 0, 0, 0}})),
                  0);
        cardsimClearLogs();
        lock(input, c.format);
        std::vector<Write> writes = writesOf(DPS);
        ASSERT_EQ(writes.size(), 12u);
        EXPECT_EQ(writes[4], (Write{0x1040 + 128 * input + 4, c.freezeMin}));
        EXPECT_EQ(writes[5], (Write{0x1040 + 128 * input + 5, c.freezeMax}));
        input++;
    }
}

TEST_F(SystemConfig, ConversionsOfPixelsAndLines)
{
    struct Case {
        const char *name;
        int line;
        uint32_t value, formatIndex;
        uint16_t expected;
    } cases[] = {
        {"pixel f2", 0, 100, 2, 99},     {"pixel f0 zero", 0, 0, 0, 0},   {"pixel f3 zero", 0, 0, 3, 0},
        {"pixel f1", 0, 1000, 1, 1999},  {"pixel f0 1920", 0, 1920, 0, 3840}, {"line f1", 1, 576, 1, 312},
        {"line f0 zero", 1, 0, 0, 22},   {"line f2", 1, 1080, 2, 552},    {"line f3", 1, 1080, 3, 560},
        {"pixel bad index", 0, 100, 4, 0}, {"line bad index", 1, 100, 5, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.line ? systemConfigHandlerConvertVLine(c.value, c.formatIndex)
                         : systemConfigHandlerConvertHPixel(c.value, c.formatIndex),
                  c.expected);
    }
    EXPECT_TRUE(log().contains("Unknown pcode convertHPxlCounter big problem PCODE bad format size is 4."));
    EXPECT_TRUE(log().contains("Unknown pcode convertVLineCounter big problem PCODE bad format size is 5."));
}

TEST_F(SystemConfig, FormatCodesClassify)
{
    struct Case {
        uint32_t code, index, formatClass;
    } cases[] = {{0, 2, 0}, {6, 2, 0}, {8, 2, 0}, {10, 3, 1}, {21, 3, 1}, {51, 3, 1}, {54, 3, 1},
                 {22, 0, 2}, {24, 1, 3}, {1, 5, 5}, {23, 5, 5}, {63, 5, 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        uint32_t index = 99, formatClass = 99;
        systemConfigHandlerClassifyFormat(c.code, &index, &formatClass);
        EXPECT_EQ(index, c.index);
        EXPECT_EQ(formatClass, c.formatClass);
    }
    EXPECT_EQ(numberToBcd(0), 0u);
    EXPECT_EQ(numberToBcd(1234), 0x1234u);
    EXPECT_EQ(numberToBcd(888), 0x888u);
    EXPECT_EQ(numberToBcd(7), 0x7u);
}

/* Refused pcodes store nothing: the block written afterwards holds the defaults. */
TEST_F(SystemConfig, BadBlackFreezePcodesAreRefusedAndChangeNothing)
{
    std::vector<Zone> zones = {{8, 400, 100, 10, 800, 500}};
    std::vector<uint8_t> shortPcode = blackFreezePcode(3, 1, zones);
    shortPcode.resize(54);
    std::vector<Zone> tooHigh = {{8, 400, 100, 10, 800, 500}, {0, 0, 0, 0, 0, 0}, {17, 0, 0, 0, 0, 0}};
    struct Case {
        const char *name;
        std::vector<uint8_t> pcode;
        const char *line;
    } cases[] = {
        {"channel 9", blackFreezePcode(9, 1, zones),
         "Bad Black freeze pcode videoFormat is: 1 channel is 9 supported videoFormat is: 3 and channel is 8."},
        {"format index 4", blackFreezePcode(3, 4, zones),
         "Bad Black freeze pcode videoFormat is: 4 channel is 3 supported videoFormat is: 3 and channel is 8."},
        {"54 bytes", shortPcode, "Bad Black freeze pcode of 54 bytes; it needs 55."},
        {"threshold 17", blackFreezePcode(3, 1, tooHigh), "a freeze threshold is above 16"},
    };
    lock(3, 24);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cardsimClearLogs();
        size_t mark = log().mark();
        EXPECT_EQ(blackFreeze(c.pcode), 6);
        EXPECT_NE(log().since(mark).find(c.line), std::string::npos) << log().since(mark);
        EXPECT_TRUE(writesOf(DPS).empty());
    }
    /* Unlock by another format, lock again: zone set 1 of input 3 still holds its defaults. */
    lock(3, 22);
    cardsimClearLogs();
    lock(3, 24);
    EXPECT_EQ(writesOf(DPS), block(3, {0, 0, 0, 0, 1750, 2000, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SystemConfig, ProbeChangesThatQueueNothingOrWriteNothing)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> record;
        int queued;
    } cases[] = {
        {"nothing to report", probeRecord(1, 24, 1, 0), 0},
        {"not locked", probeRecord(1, 24, 0), 0},
        {"input 9", probeRecord(9, 24, 1), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        probingDataChanged(c.record.data());
        EXPECT_EQ(systemConfigHandlerServeNext(0), c.queued);
        EXPECT_TRUE(writesOf(DPS).empty());
    }
    probingDataChanged(nullptr);
    EXPECT_EQ(systemConfigHandlerFreeCount(), 50u);

    /* A format without freeze detection after a written one: the write is refused with its line. */
    lock(2, 24);
    cardsimClearLogs();
    size_t mark = log().mark();
    lock(2, 30);
    EXPECT_TRUE(writesOf(DPS).empty());
    EXPECT_NE(log().since(mark).find("Bad argument. currentVideoFormatIndex 5 is out of range."), std::string::npos);
}

TEST_F(SystemConfig, AFullQueueDropsTheChangeWithItsLines)
{
    std::vector<uint8_t> r = probeRecord(1, 24, 1);
    for (int i = 0; i < 50; i++)
        probingDataChanged(r.data());
    EXPECT_EQ(systemConfigHandlerFreeCount(), 0u);
    size_t mark = log().mark();
    probingDataChanged(r.data());
    std::string logged = log().since(mark);
    EXPECT_NE(logged.find("Big problem! Q full! Dropping Video Format change messages for Calibration service!"),
              std::string::npos);
    EXPECT_NE(logged.find("probingDataChanged: could not get a free message location. Ignoring change."),
              std::string::npos);
    int served = 0;
    while (systemConfigHandlerServeNext(0))
        served++;
    EXPECT_EQ(served, 50);
    EXPECT_EQ(systemConfigHandlerFreeCount(), 50u);
}

/*
 * Device 0xEE registers: 48-63 luma threshold and 64-79 hits of inputs 0-15,
 * 80-143 four teletext pages per input; only inputs 0-8 have a probe block.
 */
TEST_F(SystemConfig, LumaAndTeletextRegisters)
{
    struct Case {
        const char *name;
        uint16_t reg;
        uint32_t value;
        int result;
        std::vector<Write> writes;
    } cases[] = {
        {"teletext page 1 of input 0", 81, 150, 0, {{0x1062, 0x150}}},
        {"luma threshold of input 2", 50, 0x3FF, 0, {{0x1160, 0x53FF}}},
        {"luma hits of input 2", 66, 7, 0, {{0x1160, 0x73FF}}},
        {"luma threshold of input 8 wider than its 10 bits: refused, not cut", 56, 0x1401, 6, {}},
        {"luma hits of input 8 above 15: refused", 72, 16, 6, {}},
        {"luma threshold of input 8", 56, 0x001, 0, {{0x1060 + 128 * 8, 0x5001}}},
        {"teletext page 3 of input 8", 115, 1234, 0, {{0x1061 + 3 + 128 * 8, 0x1234}}},
        {"black threshold", 20, 1, 5, {}},
        {"freeze threshold", 40, 1, 5, {}},
        {"luma of input 9", 57, 1, 6, {}},
        {"hits of input 15", 79, 1, 6, {}},
        {"teletext of input 9", 116, 100, 6, {}},
        {"another register", 200, 1, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cardsimClearLogs();
        EXPECT_EQ(systemConfigHandlerTeletextPageDetection(0xFF, 0xEE, c.reg, c.value), c.result);
        EXPECT_EQ(waitForDpsWrites(c.writes.size()), c.writes);
    }
    EXPECT_TRUE(log().contains("Got BLACK THRESHOLD setDeviceReg Pcode. Ignoring this obsolete pcode. Now we use a "
                               "dedicated blackFreezeZone pcode."));
    EXPECT_TRUE(log().contains("Got FREEZE THRESHOLD setDeviceReg Pcode. Ignoring this obsolete pcode."));
    EXPECT_TRUE(log().contains("Got CONFIG_TELETEXT_PAGE_DETECTION Pcode reg id is: 81 dev id is: 238 value is: 150 "
                               "videoProbeChannelId is: 0 teletextPageModified is 1."));
    EXPECT_TRUE(log().contains("register 57 names video input 9, which has no probe (0 to 8). Ignoring it."));
    EXPECT_TRUE(log().contains("LUMA_TOO_HIGH value 5121 of video input 8 is above 1023. Ignoring it."));
    EXPECT_TRUE(log().contains("LUMA_NUMBER_HITS value 16 of video input 8 is above 15. Ignoring it."));
}

TEST_F(SystemConfig, RebootPcodeGoesThroughTheHalOnly)
{
    std::vector<uint8_t> shortPcode = pcode(30, 8, {4});
    /* The hal's record also holds the device threads' priority requests: count the reboot lines. */
    auto reboots = [this] {
        std::istringstream hal(firmwareTest::readFile(root + "/var/log/hal.log"));
        int count = 0;
        for (std::string line; std::getline(hal, line);)
            count += line == "reboot";
        return count;
    };
    forceCodeReboot(shortPcode.data(), (uint32_t)shortPcode.size());
    EXPECT_EQ(reboots(), 0);

    std::vector<uint8_t> p = pcode(30, 8, {4, 1});
    forceCodeReboot(p.data(), (uint32_t)p.size());
    EXPECT_EQ(reboots(), 1);
    EXPECT_TRUE(log().contains("forceCodeReboot Pcode: FORCE_CARD_REBOOT received, called for slot 4 action  is 1 WILL "
                               "REBOOT!!!!!"));
}

/*
 * The thread posts SYSTEM_CONFIG_READY first, serves the queue, and the
 * control function returns only after the thread has left.
 */
TEST_F(SystemConfig, ThreadPostsReadyServesAndLeavesBeforeTheQueueGoes)
{
    std::vector<Zone> zones = {{8, 400, 100, 10, 800, 500}};
    EXPECT_EQ(blackFreeze(blackFreezePcode(3, 1, zones)), 0);
    systemConfigHandlerService.state = SERVICE_STATE_RUN;
    std::thread thread([] { systemConfigHandlerService.threadEntry(&systemConfigHandlerService); });
    for (int i = 0; i < 200 && layoutManagerQueuedCount() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    size_t mark = log().mark();
    drain();
    EXPECT_NE(log().since(mark).find("TARGET_SPECIFIC_MSG! event msg is 0x00000001"), std::string::npos);

    std::vector<uint8_t> r = probeRecord(3, 24, 1);
    probingDataChanged(r.data());
    std::vector<Write> writes = waitForDpsWrites(12);
    EXPECT_EQ(writes.size(), 12u);

    systemConfigHandlerService.state = SERVICE_STATE_TERMINATE;
    auto start = std::chrono::steady_clock::now();
    systemConfigHandlerService.control(&systemConfigHandlerService, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
    thread.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    /* The queue is gone: changes are not taken any more. */
    probingDataChanged(r.data());
    EXPECT_EQ(systemConfigHandlerServeNext(0), 0);
    systemConfigHandlerService.state = SERVICE_STATE_INIT;
}

/* A thread paused on its semaphore does not hold the stop: control returns at once, the thread leaves on its wake-up. */
TEST_F(SystemConfig, ControlDoesNotWaitForAPausedThread)
{
    serviceDescriptor &service = systemConfigHandlerService;
    ASSERT_EQ(sem_init(&service.semaphore, 0, 0), 0);
    service.state = SERVICE_STATE_PAUSE;
    std::atomic<pid_t> tid{0};
    std::thread thread([&service, &tid] {
        tid = threadState::currentTid();
        service.threadEntry(&service);
    });
    for (int i = 0; i < 200 && layoutManagerQueuedCount() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    drain();
    /* paused: asleep on its semaphore, before the stop begins */
    EXPECT_TRUE(threadState::waitUntilWaitingOn(tid.load(), &service.semaphore));

    service.state = SERVICE_STATE_TERMINATE;
    size_t mark = log().mark();
    auto start = std::chrono::steady_clock::now();
    service.control(&service, SERVICE_STATE_TERMINATE, SERVICE_STATE_PAUSE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(log().since(mark).find("did not leave"), std::string::npos);
    sem_post(&service.semaphore);
    thread.join();
    sem_destroy(&service.semaphore);
    service.state = SERVICE_STATE_INIT;
}

} // namespace
