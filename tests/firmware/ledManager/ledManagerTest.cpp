#include "ledManager/ledManager.h"

#include "cardsim/cardsim.h"
#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "strata/strata.h"

#include <chrono>
#include <cstdlib>
#include <semaphore.h>
#include <thread>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "../main/FirmwareTestSupport.h"

extern serviceDescriptor ledManagerService;

using firmwareTest::TestLog;

namespace {

class LedManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        for (int line : {81, 148, 174, 175})
            cardsimGpioSet(line, 0);
        initService(&ledManagerService);
        /* The frame-controller link lends the platform its sender, as the strata service does at init. */
        platformRegisterStrataLink(strataGetCardId, strataSrvSendMessage);
    }
    void TearDown() override { unsetenv("KVR_ROOT"); }
    static ledControlRequest request(uint32_t led, uint32_t caller, uint32_t enable, uint32_t colour, uint32_t state,
                                     uint32_t priority, uint8_t blink = 0)
    {
        ledControlRequest r = ledControlRequest();
        r.ledId = led;
        r.callerId = caller;
        r.enable = enable;
        r.colour = colour;
        r.state = state;
        r.priority = priority;
        r.blinkCount = blink;
        return r;
    }
    static ledManagerLed_t led(uint32_t id)
    {
        ledManagerLed_t out = ledManagerLed_t();
        EXPECT_EQ(ledManagerGetLed(id, &out), 0);
        return out;
    }
    TempDir root;
};

struct ArbitrationCase {
    const char *name;
    std::vector<ledControlRequest> requests;
    uint32_t ledId;
    uint8_t enabled;
    uint8_t colour;
    uint32_t state;
};

TEST_F(LedManager, ChoosesTheControllingClient)
{
    auto r = [](uint32_t l, uint32_t c, uint32_t e, uint32_t col, uint32_t s, uint32_t p, uint8_t b = 0) {
        return request(l, c, e, col, s, p, b);
    };
    const ArbitrationCase cases[] = {
        {"higher priority wins", {r(2, 1, 1, 1, 0, 5), r(2, 2, 1, 2, 0, 9)}, 2, 1, 2, 0},
        {"lower priority does not take over", {r(2, 2, 1, 2, 0, 9), r(2, 1, 1, 1, 0, 5)}, 2, 1, 2, 0},
        {"release hands back to the next", {r(2, 1, 1, 1, 0, 5), r(2, 2, 1, 2, 0, 9), r(2, 2, 0, 0, 1, 0)}, 2, 1, 1, 0},
        {"frame LED: colour and state decide equal priorities",
         {r(3, 1, 1, 2, 0, 20), r(3, 2, 1, 3, 2, 20, 255)}, 3, 1, 3, 2},
        {"frame LED: in either order", {r(3, 2, 1, 3, 2, 20, 255), r(3, 1, 1, 2, 0, 20)}, 3, 1, 3, 2},
        {"all released", {r(2, 1, 1, 1, 0, 5), r(2, 1, 0, 0, 1, 0)}, 2, 0, 0, 1},
        /* A released first client must not keep an enabled client of equal priority from the LED. */
        {"released client of equal priority",
         {r(2, 1, 1, 1, 0, 0), r(2, 1, 0, 0, 1, 0), r(2, 2, 1, 2, 0, 0), r(2, 3, 0, 0, 1, 0)}, 2, 1, 2, 0},
        /* An LED id the table does not hold leaves every LED alone. */
        {"unknown LED refused", {r(3, 1, 1, 1, 0, 20), r(7, 2, 1, 2, 2, 99, 255)}, 3, 1, 1, 0},
    };
    for (const ArbitrationCase &c : cases) {
        SCOPED_TRACE(c.name);
        ledManagerReset();
        for (const ledControlRequest &one : c.requests)
            ledManager_LedControlRequest(nullptr, &one);
        ledManagerLed_t got = led(c.ledId);
        EXPECT_EQ(got.enabled, c.enabled);
        EXPECT_EQ(got.colour, c.colour);
        EXPECT_EQ(got.state, c.state);
    }
}

TEST_F(LedManager, AnEleventhClientIsRefused)
{
    size_t mark = TestLog::instance().mark();
    for (uint32_t caller = 1; caller <= 11; caller++) {
        ledControlRequest r = request(2, caller, 1, 1, 0, caller);
        ledManager_LedControlRequest(log4c_category_get("ulm.test"), &r);
    }
    EXPECT_NE(TestLog::instance().since(mark).find("LED Ctrl Req: Error too many Clients trying to control the led index 1 (LED id 2)."),
              std::string::npos);
    EXPECT_EQ(led(2).colour, 1);
}

std::vector<uint8_t> ledPcode(uint8_t id, uint8_t ledId, uint8_t blink, uint8_t rate, uint8_t colour)
{
    if (id == LED_MANAGER_PCODE_ENABLE)
        return {10, id, 0, 8, 4, ledId, blink, rate, colour, 0, 0, 0};
    return {10, id, 0, 4, 4, ledId, 0, 0};
}

TEST_F(LedManager, PcodesEnableAndDisable)
{
    const struct {
        const char *name;
        std::vector<uint8_t> pcode;
        uint32_t ledId;
        uint8_t enabled, colour;
        uint32_t state;
    } cases[] = {
        {"legacy enable", ledPcode(4, 2, 0, 0, 2), 2, 1, 2, 0},
        {"legacy enable blinking", ledPcode(4, 2, 255, 5, 1), 2, 1, 1, 2},
        {"legacy id not in the table", ledPcode(4, 9, 0, 0, 2), 2, 1, 3, 0},
        {"virtual id drives the frame LED", ledPcode(4, 0x85, 255, 3, 2), 3, 1, 2, 2},
        {"disable", ledPcode(5, 0x85, 0, 0, 0), 3, 0, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ledManagerReset();
        if (c.pcode[1] == LED_MANAGER_PCODE_DISABLE) {
            std::vector<uint8_t> enable = ledPcode(4, 0x85, 255, 3, 2);
            enableLedHandler(enable.data(), (uint32_t)enable.size());
            disableLedHandler(c.pcode.data(), (uint32_t)c.pcode.size());
        } else {
            enableLedHandler(c.pcode.data(), (uint32_t)c.pcode.size());
        }
        ledManagerLed_t got = led(c.ledId);
        EXPECT_EQ(got.enabled, c.enabled);
        EXPECT_EQ(got.colour, c.colour);
        EXPECT_EQ(got.state, c.state);
    }
    /* Other lengths are ignored. */
    ledManagerReset();
    std::vector<uint8_t> shortPcode = ledPcode(4, 2, 0, 0, 2);
    enableLedHandler(shortPcode.data(), 9);
    EXPECT_EQ(led(2).colour, 3);
}

TEST_F(LedManager, BlinkingTogglesTheFrameLedLines)
{
    platformSetStrataLedBlinkRed(nullptr, 1);
    ledManagerLed_t frame = led(3);
    EXPECT_EQ(frame.blinkCount, 255);
    EXPECT_EQ(frame.blinkRate, 5);
    EXPECT_EQ(frame.state, (uint32_t)LED_STATE_ON_BLINK);
    /* state, GPIO 148, GPIO 81 after each step */
    const int expected[][3] = {{3, 1, 1}, {2, 1, 0}, {3, 1, 1}};
    for (const auto &step : expected) {
        ledManagerBlinkStep();
        EXPECT_EQ(led(3).state, (uint32_t)step[0]);
        EXPECT_EQ(cardsimGpioGet(148), step[1]);
        EXPECT_EQ(cardsimGpioGet(81), step[2]);
    }
}

TEST_F(LedManager, FrameLedChangesAreReportedToTheController)
{
    const struct {
        uint32_t colour;
        uint8_t blink;
        const char *byte;
    } cases[] = {{2, 255, "[18]"}, {2, 0, "[10]"}, {3, 0, "[08]"}, {1, 0, "[00]"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.byte);
        ledManagerReset();
        size_t mark = TestLog::instance().mark();
        platformLedControlRequest(log4c_category_get("ulm.test"), 1, 3, c.colour, 0, c.blink, 5);
        EXPECT_NE(TestLog::instance().since(mark).find(std::string("type 0 address 0x00 opcode 0x0009 length 1 data ") + c.byte),
                  std::string::npos);
    }
}

} // namespace

namespace {

TEST_F(LedManager, TheServiceBlinksEvery500ms)
{
    serviceDescriptor &service = ledManagerService;
    sem_init(&service.semaphore, 0, 0);
    service.state = SERVICE_STATE_RUN;
    platformSetStrataLedBlinkRed(nullptr, 1);
    auto begin = std::chrono::steady_clock::now();
    std::thread thread([&service] { service.threadEntry(&service); });
    /* Every change as it is seen, until the second step (or a generous limit under load). */
    std::vector<uint32_t> states;
    std::vector<std::chrono::steady_clock::duration> seenAt;
    while (states.size() < 3 && std::chrono::steady_clock::now() - begin < std::chrono::seconds(20)) {
        uint32_t state = led(3).state;
        if (states.empty() || states.back() != state) {
            states.push_back(state);
            seenAt.push_back(std::chrono::steady_clock::now() - begin);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    service.state = SERVICE_STATE_TERMINATE;
    sem_post(&service.semaphore);
    thread.join();
    sem_destroy(&service.semaphore);
    /* OnBlink at first, then two 500 ms steps: a change is seen no earlier than it happens. */
    ASSERT_EQ(states, (std::vector<uint32_t>{2, 3, 2}));
    EXPECT_GE(seenAt[1], std::chrono::milliseconds(500));
    EXPECT_GE(seenAt[2], std::chrono::milliseconds(1000));
}

} // namespace
