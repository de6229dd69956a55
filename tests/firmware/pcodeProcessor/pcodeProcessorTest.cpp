#include "pcodeProcessor/pcodeProcessor.h"

#include "configManager/configManager.h"
#include "serviceManager/serviceManager.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

/* Every handler and listener call, in the order the decoder made them. */
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;

    void add(const std::string &call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
        changed.notify_all();
    }
    bool waitForCount(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(3), [&] { return calls.size() >= count; });
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        out.swap(calls);
        return out;
    }
};
Recorder recorder;

void firstHandler(const uint8_t *pcode, uint32_t length)
{
    recorder.add("first " + std::to_string(pcode[0]) + "/" + std::to_string(pcode[1]) + " len " + std::to_string(length));
}
void secondHandler(const uint8_t *pcode, uint32_t length)
{
    recorder.add("second " + std::to_string(pcode[0]) + "/" + std::to_string(pcode[1]) + " len " + std::to_string(length));
}

void listenerCall(const char *name, uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    char text[96];
    snprintf(text, sizeof text, "%s %x %x %x %x", name, slot, device, reg, value);
    recorder.add(text);
}
void anyRegister4(uint8_t s, uint16_t d, uint16_t r, uint32_t v) { listenerCall("reg4", s, d, r, v); }
void slot2Only(uint8_t s, uint16_t d, uint16_t r, uint32_t v) { listenerCall("slot2", s, d, r, v); }
void device7Register5(uint8_t s, uint16_t d, uint16_t r, uint32_t v) { listenerCall("dev7reg5", s, d, r, v); }

std::vector<uint8_t> pcodeBytes(uint8_t classCode, uint8_t id, std::vector<uint8_t> data)
{
    std::vector<uint8_t> pcode = {classCode, id, (uint8_t)(data.size() >> 8), (uint8_t)data.size()};
    for (uint8_t byte : data)
        pcode.push_back(byte);
    return pcode;
}

void send(const std::vector<uint8_t> &pcode)
{
    pcodeProcessor((uint32_t)pcode.size(), pcode.data(), nullptr);
}

/*
 * Waits until a producer is held inside pcodeProcessor: it keeps the firmware
 * mutex while it waits for the decoder, so the mutex stays taken for a run of
 * checks. False when `finished` says the producers went through instead.
 */
bool waitUntilAProducerIsHeld(const std::function<bool()> &finished)
{
    int heldChecks = 0;
    for (int i = 0; i < 4000 && heldChecks < 40; i++) {
        if (finished())
            return false;
        if (pthread_mutex_trylock(&firmwareMutex) == 0) {
            pthread_mutex_unlock(&firmwareMutex);
            heldChecks = 0;
        } else {
            heldChecks++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return heldChecks >= 40 && !finished();
}

/* Runs the real service: init, thread, enable; terminated after each test. */
class PcodeProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        for (const char *dir : {"var", "var/run", "usr", "usr/local", "usr/local/q7", "usr/local/q7/firmware"})
            mkdir((root / dir).c_str(), 0755);
        std::ofstream(root / "usr/local/q7/firmware/configuration.xml")
            << "<configuration><service><name>pcodeProcessor</name><enable>1</enable></service></configuration>";
        configManagerInit(&configManagerService);
        recorder.take();
        serviceManagerInit(list, 1);
    }
    void start()
    {
        serviceManagerStart(list, 1);
        serviceManagerEnable(list, 1);
    }
    void TearDown() override
    {
        serviceManagerTerminate(list, 1);
        EXPECT_EQ(pcodeProcessorService.threadRunning, 0);
        unsetenv("KVR_ROOT");
    }
    serviceDescriptor *const list[1] = {&pcodeProcessorService};
    TempDir root;
};

TEST_F(PcodeProcessorTest, HandlersOfAPairRunInRegistrationOrder)
{
    static pcodeHandlerInfo first = {firstHandler, 20, 5, nullptr};
    static pcodeHandlerInfo second = {secondHandler, 20, 5, nullptr};
    static pcodeHandlerInfo other = {secondHandler, 40, 29, nullptr};
    registerPcodeHandler(&first);
    registerPcodeHandler(&second);
    registerPcodeHandler(&other);
    start();
    send(pcodeBytes(20, 5, {1, 2, 3}));
    send(pcodeBytes(40, 29, {}));
    ASSERT_TRUE(recorder.waitForCount(3));
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"first 20/5 len 7", "second 20/5 len 7", "second 40/29 len 4"}));
}

TEST_F(PcodeProcessorTest, PairsWithoutHandlersAndOutOfRangeAreLoggedNotDispatched)
{
    static pcodeHandlerInfo first = {firstHandler, 20, 5, nullptr};
    registerPcodeHandler(&first);
    start();
    size_t mark = TestLog::instance().mark();
    struct Case {
        uint8_t classCode, id;
        const char *logged;
    } cases[] = {
        {20, 6, "Unsupported pcode: class=2, id=6"},
        {21, 5, nullptr}, /* class code 21 is class index 2: handled */
        {50, 0, "Invalid Pcode received: class=5, id=0"},
        {10, 30, "Invalid Pcode received: class=1, id=30"},
    };
    for (const Case &c : cases)
        send(pcodeBytes(c.classCode, c.id, {9}));
    send(pcodeBytes(20, 5, {})); /* a last one that is handled: all before it were decoded */
    ASSERT_TRUE(recorder.waitForCount(2));
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"first 21/5 len 5", "first 20/5 len 4"}));
    std::string logged = TestLog::instance().since(mark);
    for (const Case &c : cases)
        if (c.logged) {
            EXPECT_NE(logged.find(c.logged), std::string::npos) << c.logged;
        }
}

TEST_F(PcodeProcessorTest, SetDeviceListenersMatchWithWildcards)
{
    static setDevicePcodeHandlerInfo reg4 = {anyRegister4, 0xFF, 0xFFFF, 4, nullptr};
    static setDevicePcodeHandlerInfo slot2 = {slot2Only, 2, 0xFFFF, 0xFFFF, nullptr};
    static setDevicePcodeHandlerInfo dev7reg5 = {device7Register5, 0xFF, 7, 5, nullptr};
    registerSetDevicePcodeHandler(&reg4);
    registerSetDevicePcodeHandler(&slot2);
    registerSetDevicePcodeHandler(&dev7reg5);
    static pcodeHandlerInfo chained = {firstHandler, 10, 1, nullptr};
    registerPcodeHandler(&chained);
    start();
    struct Case {
        uint8_t slot;
        uint16_t device, reg;
        uint32_t value;
        std::vector<std::string> calls;
    } cases[] = {
        /* The chained handler was registered before the decoder registered its own fan-out. */
        {1, 3, 4, 0x11223344, {"first 10/1 len 13", "reg4 1 3 4 11223344"}},
        {2, 7, 5, 0x01, {"first 10/1 len 13", "slot2 2 7 5 1", "dev7reg5 2 7 5 1"}},
        {2, 0x1234, 4, 0xFFFFFFFF, {"first 10/1 len 13", "reg4 2 1234 4 ffffffff", "slot2 2 1234 4 ffffffff"}},
        {3, 7, 6, 5, {"first 10/1 len 13"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.slot * 1000 + c.reg);
        send(pcodeBytes(10, 1,
                        {c.slot, (uint8_t)(c.device >> 8), (uint8_t)c.device, (uint8_t)(c.reg >> 8), (uint8_t)c.reg,
                         (uint8_t)(c.value >> 24), (uint8_t)(c.value >> 16), (uint8_t)(c.value >> 8), (uint8_t)c.value}));
        ASSERT_TRUE(recorder.waitForCount(c.calls.size()));
        EXPECT_EQ(recorder.take(), c.calls);
    }
}

TEST_F(PcodeProcessorTest, BadLengthsAreRefusedBeforeAnyHandler)
{
    static setDevicePcodeHandlerInfo all = {anyRegister4, 0xFF, 0xFFFF, 0xFFFF, nullptr};
    registerSetDevicePcodeHandler(&all);
    static pcodeHandlerInfo first = {firstHandler, 20, 5, nullptr};
    registerPcodeHandler(&first);
    start();
    size_t mark = TestLog::instance().mark();

    std::vector<uint8_t> claimsMore = pcodeBytes(20, 5, {1, 2});
    claimsMore[3] = 3; /* byteCount 3, two bytes received */
    send(claimsMore);
    std::vector<uint8_t> header = {20, 5, 0};
    pcodeProcessor(3, header.data(), nullptr);
    std::vector<uint8_t> tooLong = pcodeBytes(20, 5, std::vector<uint8_t>(4093, 0xAB));
    send(tooLong);
    pcodeProcessor(4, nullptr, nullptr);
    send(pcodeBytes(10, 1, {1, 0, 3, 0, 4, 0, 0, 0})); /* set-device with 8 data bytes */

    /* The largest pcode, 4,096 bytes, is taken whole. */
    send(pcodeBytes(20, 5, std::vector<uint8_t>(4092, 0xCD)));
    ASSERT_TRUE(recorder.waitForCount(1));
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"first 20/5 len 4096"}));
    std::string logged = TestLog::instance().since(mark);
    EXPECT_NE(logged.find("refused: byteCount 3 exceeds the 6 bytes received"), std::string::npos);
    EXPECT_NE(logged.find("pcode of 3 bytes refused"), std::string::npos);
    EXPECT_NE(logged.find("pcode of 4097 bytes refused"), std::string::npos);
    EXPECT_NE(logged.find("SET_DEVICE_REGISTER refused: 8 data bytes, 9 needed"), std::string::npos);
}

TEST_F(PcodeProcessorTest, PcodeSentBeforeTheDecoderStartsIsHeldThenProcessed)
{
    static pcodeHandlerInfo first = {firstHandler, 30, 2, nullptr};
    registerPcodeHandler(&first);
    std::atomic<bool> returned{false};
    std::thread producer([&] {
        send(pcodeBytes(30, 2, {7}));
        returned = true;
    });
    /* The producer waits for the decoder inside the call: neither dropped nor handled yet. */
    EXPECT_TRUE(waitUntilAProducerIsHeld([&] { return returned.load(); }));
    EXPECT_TRUE(recorder.take().empty());
    start();
    ASSERT_TRUE(recorder.waitForCount(1));
    EXPECT_EQ(recorder.take(), (std::vector<std::string>{"first 30/2 len 5"}));
    producer.join();
}

TEST_F(PcodeProcessorTest, PauseHoldsPcodesAndResumeDeliversThem)
{
    static pcodeHandlerInfo first = {firstHandler, 20, 1, nullptr};
    registerPcodeHandler(&first);
    start();
    EXPECT_EQ(pcodeProcessorIsRunning(), 1);
    send(pcodeBytes(20, 1, {}));
    ASSERT_TRUE(recorder.waitForCount(1));
    recorder.take();
    pcodeProcessorSetPaused(1);
    EXPECT_EQ(pcodeProcessorIsRunning(), 0);
    /* A decoder already waiting may still take one pcode; after that it holds them. */
    std::atomic<int> sent{0};
    std::thread producer([&] {
        for (uint8_t n = 1; n <= 3; n++) {
            send(pcodeBytes(20, 1, std::vector<uint8_t>(n, n)));
            sent++;
        }
    });
    /* A decoder that went on while paused would let all three through. */
    EXPECT_TRUE(waitUntilAProducerIsHeld([&] { return sent.load() == 3; })) << "the producer was not held";
    std::vector<std::string> during = recorder.take();
    EXPECT_LE(during.size(), 1u);
    pcodeProcessorSetPaused(0);
    EXPECT_EQ(pcodeProcessorIsRunning(), 1);
    producer.join();
    ASSERT_TRUE(recorder.waitForCount(3 - during.size()));
    std::vector<std::string> all = during;
    for (const std::string &call : recorder.take())
        all.push_back(call);
    /* All three arrive, once each and in order. */
    EXPECT_EQ(all, (std::vector<std::string>{"first 20/1 len 5", "first 20/1 len 6", "first 20/1 len 7"}));
}

TEST_F(PcodeProcessorTest, ProducersAfterTerminateDropTheirPcodesInsteadOfBlocking)
{
    static pcodeHandlerInfo first = {firstHandler, 20, 1, nullptr};
    registerPcodeHandler(&first);
    start();
    send(pcodeBytes(20, 1, {}));
    ASSERT_TRUE(recorder.waitForCount(1));
    pcodeProcessorSetPaused(1);
    /* At most one is decoded, one waits in the buffer, the third producer waits for the buffer. */
    std::atomic<int> sent{0};
    std::thread producer([&] {
        for (uint8_t n = 1; n <= 3; n++) {
            send(pcodeBytes(20, 1, std::vector<uint8_t>(n, n)));
            sent++;
        }
    });
    EXPECT_TRUE(waitUntilAProducerIsHeld([&] { return sent.load() == 3; })) << "the producer was not held";
    EXPECT_LT(sent.load(), 3);
    terminateService(&pcodeProcessorService);
    producer.join();
    EXPECT_EQ(sent.load(), 3);
    auto begin = std::chrono::steady_clock::now();
    send(pcodeBytes(20, 1, {1, 2, 3}));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
    EXPECT_TRUE(TestLog::instance().contains("pcode class=2, id=1 dropped"));
}

} // namespace
