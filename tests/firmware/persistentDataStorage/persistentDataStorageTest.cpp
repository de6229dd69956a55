#include "persistentDataStorage/persistentDataStorage.h"

#include "platform/platform.h"
#include "serviceManager/serviceManager.h"
#include "strata/strata.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "../main/FirmwareTestSupport.h"

extern serviceDescriptor persistentDataStorageService;

using firmwareTest::TestLog;

namespace {

const char *const FILE_PATH = "usr/local/q7/firmware/restorepoint.rsp";

std::string hex(const std::string &bytes)
{
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

/* The restore-point service on its own thread, over a private card root. */
class RestorePoint : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        setenv("KVR_ROOT", root.path().c_str(), 1);
        ASSERT_UNDER_CARD_ROOT();
        for (const char *d : {"usr", "usr/local", "usr/local/q7", "usr/local/q7/firmware"})
            mkdir((root / d).c_str(), 0755);
        /* The frame-controller link lends the platform its sender, as the strata service does at init. */
        platformRegisterStrataLink(strataGetCardId, strataSrvSendMessage);
    }
    void TearDown() override
    {
        stop();
        unsetenv("KVR_ROOT");
    }
    void writeFile(const std::string &text) { std::ofstream(root / FILE_PATH, std::ios::binary) << text; }
    std::string file() { return firmwareTest::readFile(root / FILE_PATH); }
    void start()
    {
        initService(&service);
        service.state = SERVICE_STATE_RUN;
        thread = std::thread([this] { service.threadEntry(&service); });
    }
    void stop()
    {
        if (!thread.joinable())
            return;
        service.state = SERVICE_STATE_TERMINATE;
        service.control(&service, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        thread.join();
    }
    bool waitFor(const std::function<bool()> &done, int ms = 3000)
    {
        for (int i = 0; i < ms / 10; i++) {
            if (done())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    std::string get(const char *key)
    {
        char value[PDS_TEXT_MAX + 1] = "";
        return persistentDataStorage_GetKey(nullptr, 1, key, value, sizeof value, nullptr) == 0 ? value : "<none>";
    }
    /* The link lines logged since `mark` for one opcode. */
    std::vector<std::string> sent(size_t mark, const char *what)
    {
        std::vector<std::string> lines;
        std::string text = TestLog::instance().since(mark);
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            size_t begin = text.rfind('\n', at);
            begin = begin == std::string::npos ? 0 : begin + 1;
            size_t end = text.find('\n', at);
            lines.push_back(text.substr(begin, end - begin));
        }
        return lines;
    }
    TempDir root;
    serviceDescriptor &service = persistentDataStorageService;
    std::thread thread;
};

TEST_F(RestorePoint, ShortOrVersionlessFileIsReplacedByTheDefault)
{
    for (const char *text : {"v=1\n", "slot=3\nother=4\n"}) {
        SCOPED_TRACE(text);
        writeFile(text);
        start();
        EXPECT_EQ(get("version"), "1.1");
        EXPECT_EQ(get("slot"), "0");
        EXPECT_EQ(file(), "version=1.1\nslot=0\n");
        stop();
    }
}

/* key=value lines up to `size` bytes: a cut anywhere would still look like a restore point. */
std::string restorePointOf(size_t size, const char *slot)
{
    std::string text = std::string("version=1.1\nslot=") + slot + "\n";
    for (int i = 0; text.size() < size; i++)
        text += "key" + std::to_string(i) + "=" + std::string(40, 'v') + "\n";
    text.resize(size);
    return text;
}

TEST_F(RestorePoint, AFileLargerThanARestorePointIsRefusedWholeAndLeftAsItIs)
{
    struct Case {
        size_t size;
        bool loaded;
    } cases[] = {{PDS_RESTORE_POINT_MAX, true}, {PDS_RESTORE_POINT_MAX + 1, false}, {75 * 1024, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        std::string text = restorePointOf(c.size, "7");
        writeFile(text);
        size_t mark = TestLog::instance().mark();
        start();
        std::string refused = "loadFile: the file /usr/local/q7/firmware/restorepoint.rsp is " + std::to_string(c.size) +
                              " bytes, more than the 65536 of a Restore Point: not loaded, left as it is";
        std::string logged = TestLog::instance().since(mark);
        std::vector<uint8_t> held(PDS_RESTORE_POINT_MAX);
        uint32_t size = (uint32_t)held.size();
        ASSERT_EQ(persistentDataGetRestorePoint(service.category, held.data(), &size), PDS_OK);
        std::string inMemory((const char *)held.data(), size);
        if (c.loaded) {
            EXPECT_EQ(logged.find("more than the 65536"), std::string::npos) << logged;
            EXPECT_EQ(inMemory, text);
        } else {
            EXPECT_NE(logged.find(refused), std::string::npos) << logged;
            EXPECT_NE(logged.find("Error, no restore point loaded from local file"), std::string::npos) << logged;
            EXPECT_EQ(inMemory, "version=1.1\nslot=0\n");
        }
        EXPECT_EQ(file(), text);
        stop();
    }
}

TEST_F(RestorePoint, ARestorePointLargerThanItCanBeIsRefusedAndTheCurrentOneStays)
{
    writeFile("version=1.1\nslot=4\n");
    start();
    std::string tooLarge = restorePointOf(PDS_RESTORE_POINT_MAX + 1, "9");
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(persistentDataSetRestorePoint(service.category, (const uint8_t *)tooLarge.data(), (uint32_t)tooLarge.size()),
              PDS_BAD_ARGUMENTS);
    EXPECT_NE(TestLog::instance().since(mark).find("persistentDataSetRestorePoint: a Restore Point of 65537 bytes is "
                                                   "more than the 65536 it can be: refused, the current one stays"),
              std::string::npos);
    EXPECT_EQ(file(), "version=1.1\nslot=4\n");
    EXPECT_EQ(get("slot"), "4");
}

TEST_F(RestorePoint, SetKeysSurviveARestartAndCallListeners)
{
    writeFile("version=1.1\nslot=0\n");
    start();
    static std::atomic<int> calls{0};
    static std::string lastValue;
    /* A listener that reads a key itself: it runs with no lock of the module held. */
    auto listener = [](const pdsKeyCallbackInfo *info, log4c_category_t *) {
        char slot[PDS_TEXT_MAX + 1];
        persistentDataStorage_GetKey(nullptr, 1, "slot", slot, sizeof slot, nullptr);
        lastValue = std::string(info->value) + "/" + slot;
        calls++;
    };
    char value[PDS_TEXT_MAX + 1];
    EXPECT_EQ(persistentDataStorage_GetKey(nullptr, 1, "systemFrameRate", value, sizeof value, listener), PDS_NOT_FOUND);
    EXPECT_EQ(persistentDataStorage_SetKey(nullptr, 1, "systemFrameRate", "5000"), PDS_OK);
    ASSERT_TRUE(waitFor([] { return calls.load() == 1; }));
    EXPECT_EQ(lastValue, "5000/0");
    EXPECT_EQ(get("systemFrameRate"), "5000");
    stop();
    EXPECT_EQ(file(), "version=1.1\nslot=0\nsystemFrameRate=5000\n");
    start();
    EXPECT_EQ(get("systemFrameRate"), "5000");
}

TEST_F(RestorePoint, BadArgumentsAreRefused)
{
    start();
    char value[PDS_TEXT_MAX + 1];
    std::string longKey(PDS_TEXT_MAX + 1, 'k'), longValue(PDS_TEXT_MAX + 1, 'v');
    const struct {
        const char *name;
        int result;
    } cases[] = {
        {"set bad location", persistentDataStorage_SetKey(nullptr, 2, "a", "b")},
        {"set no value", persistentDataStorage_SetKey(nullptr, 1, "a", nullptr)},
        {"set long key", persistentDataStorage_SetKey(nullptr, 1, longKey.c_str(), "b")},
        {"get no buffer", persistentDataStorage_GetKey(nullptr, 1, "a", nullptr, 4, nullptr)},
        {"get bad location", persistentDataStorage_GetKey(nullptr, 0, "a", value, sizeof value, nullptr)},
        {"delete bad location", persistentDataStorage_Delete(nullptr, 4)},
        {"set no key", persistentDataStorage_SetKey(nullptr, 1, nullptr, "b")},
        {"set empty key", persistentDataStorage_SetKey(nullptr, 1, "", "b")},
        {"set long value", persistentDataStorage_SetKey(nullptr, 1, "a", longValue.c_str())},
        {"get no key", persistentDataStorage_GetKey(nullptr, 1, nullptr, value, sizeof value, nullptr)},
        {"get long key", persistentDataStorage_GetKey(nullptr, 1, longKey.c_str(), value, sizeof value, nullptr)},
        {"get empty buffer", persistentDataStorage_GetKey(nullptr, 1, "a", value, 0, nullptr)},
    };
    const int expected[] = {PDS_BAD_LOCATION,  PDS_BAD_ARGUMENTS, PDS_BAD_ARGUMENTS, PDS_BAD_ARGUMENTS,
                            PDS_BAD_LOCATION,  PDS_BAD_LOCATION,  PDS_BAD_ARGUMENTS, PDS_BAD_ARGUMENTS,
                            PDS_BAD_ARGUMENTS, PDS_BAD_ARGUMENTS, PDS_BAD_ARGUMENTS, PDS_BAD_ARGUMENTS};
    static_assert(sizeof cases / sizeof cases[0] == sizeof expected / sizeof expected[0], "one result per case");
    /* None of them reached the store: the key "a" was never set. */
    EXPECT_EQ(get("a"), "<none>");
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(cases[i].result, expected[i]);
    }
    /* A 30-character key and value are whole, terminated, and nothing beyond is read. */
    std::string key30(PDS_TEXT_MAX, 'K'), value30(PDS_TEXT_MAX, 'V');
    EXPECT_EQ(persistentDataStorage_SetKey(nullptr, 1, key30.c_str(), value30.c_str()), PDS_OK);
    ASSERT_TRUE(waitFor([&] { return get(key30.c_str()) == value30; }));
}

/* Reads the restore point whole and by key, and ends the process with 0
 * when both were refused as not ready and nothing was copied. */
void readBeforeStartAndExit()
{
    TestLog::instance();
    uint8_t buffer[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    uint32_t size = sizeof buffer;
    char value[PDS_TEXT_MAX + 1] = "untouched";
    int whole = persistentDataGetRestorePoint(nullptr, buffer, &size);
    int key = persistentDataStorage_GetKey(nullptr, PDS_LOCATION_RESTORE_POINT, "slot", value, sizeof value, nullptr);
    bool nothingCopied = size == sizeof buffer && buffer[0] == 'x' && strcmp(value, "untouched") == 0;
    fprintf(stderr, "whole %d key %d copied %d\n", whole, key, nothingCopied ? 0 : 1);
    /* exit, not _exit: the log's temporary directory goes with the process. */
    exit(whole == PDS_RESTORE_POINT_MISSING && key == PDS_NOT_READY && nothingCopied ? 0 : 1);
}

/* Before the service has loaded a restore point, readers are told so and
 * get nothing. Run in a fresh process (the death-test child re-runs this test
 * alone), where no earlier test has started the service. */
TEST(RestorePointBeforeStart, ReadersAreToldItIsNotReadyAndGetNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(readBeforeStartAndExit(), ::testing::ExitedWithCode(0), "copied 0");
}

TEST_F(RestorePoint, TheRestorePointIsCopiedUpToTheBuffer)
{
    writeFile("version=1.1\nslot=4\n");
    start();
    const struct {
        uint32_t room;
        std::string copied;
    } cases[] = {
        {100, "version=1.1\nslot=4\n"},
        {19, "version=1.1\nslot=4\n"},
        {5, "versi"},
        {0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.room);
        std::vector<uint8_t> buffer(128, 0xEE);
        uint32_t size = c.room;
        EXPECT_EQ(persistentDataGetRestorePoint(nullptr, buffer.data(), &size), PDS_OK);
        EXPECT_EQ(size, c.copied.size());
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), c.copied);
        EXPECT_EQ(buffer[size], 0xEE) << "nothing written beyond the count";
    }
    uint32_t size = 10;
    uint8_t buffer[10];
    EXPECT_EQ(persistentDataGetRestorePoint(nullptr, nullptr, &size), PDS_RESTORE_POINT_MISSING);
    EXPECT_EQ(persistentDataGetRestorePoint(nullptr, buffer, nullptr), PDS_RESTORE_POINT_MISSING);
}

TEST_F(RestorePoint, ARestorePointSetFromTheControllerIsInstalledAndWritten)
{
    writeFile("version=1.1\nslot=4\n");
    start();
    const std::string received = "version=1.1\nslot=7\nsystemFrameRate=2500\n";
    EXPECT_EQ(persistentDataSetRestorePoint(service.category, (const uint8_t *)received.data(), (uint32_t)received.size()),
              PDS_OK);
    EXPECT_EQ(get("slot"), "7");
    EXPECT_EQ(get("systemFrameRate"), "2500");
    ASSERT_TRUE(waitFor([&] { return file() == received; }));
}

TEST_F(RestorePoint, LinesWithNulBytesFromTheControllerAreDroppedAndTheKeysBehindThemKept)
{
    writeFile("version=1.1\nslot=4\n");
    start();
    const std::string received("version=1.1\nslot=7\nbro\0ken=1\nsystemFrameRate=2500\n\0\0", 52);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(persistentDataSetRestorePoint(service.category, (const uint8_t *)received.data(), (uint32_t)received.size()),
              PDS_OK);
    EXPECT_EQ(get("systemFrameRate"), "2500");
    EXPECT_EQ(get("slot"), "7");
    EXPECT_NE(TestLog::instance().since(mark).find("dropNulLines: the Restore Point received holds a NUL byte at offset "
                                                   "22 (line 3): 2 line(s) holding NUL bytes dropped, the 3 other "
                                                   "line(s) kept"),
              std::string::npos)
        << TestLog::instance().since(mark);
    ASSERT_TRUE(waitFor([&] { return file() == "version=1.1\nslot=7\nsystemFrameRate=2500\n"; })) << file();
}

/* The configuration as it enables the service (every other key reads 0). */
static int storageEnabled(const char *key)
{
    return strcmp(key, "service.persistentDataStorage.enable") == 0 ? 1 : 0;
}

/*
 * With the service enabled but its thread not yet taking requests (start-up),
 * the fifth waits its 5 s for a free one and is dropped.
 */
TEST_F(RestorePoint, AFullRequestQueueDropsTheRequestAfterItsWait)
{
    writeFile("version=1.1\nslot=0\n");
    initService(&service);
    serviceManagerSetConfigReader(storageEnabled);
    for (int i = 1; i <= PDS_REQUESTS; i++)
        EXPECT_EQ(persistentDataStorage_SetKey(nullptr, 1, "slot", std::to_string(i).c_str()), PDS_OK) << i;
    size_t mark = TestLog::instance().mark();
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(persistentDataStorage_SetKey(service.category, 1, "slot", "9"), PDS_NOT_READY);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(5000));
    EXPECT_NE(TestLog::instance().since(mark).find("Big problem! Q full! Dropping request"), std::string::npos);
    /* The queued four are served in order once the thread runs; the dropped one never is. */
    service.state = SERVICE_STATE_RUN;
    thread = std::thread([this] { service.threadEntry(&service); });
    ASSERT_TRUE(waitFor([&] { return get("slot") == "4"; }));
    EXPECT_EQ(persistentDataStorage_SetKey(nullptr, 1, "slot", "5"), PDS_OK);
    ASSERT_TRUE(waitFor([&] { return get("slot") == "5"; }));
    serviceManagerSetConfigReader(nullptr);
}

/* A service that is not enabled, or was terminated, never takes a request: each is refused at once, with one line. */
TEST_F(RestorePoint, RequestsToAServiceThatDoesNotServeAreRefusedAtOnce)
{
    writeFile("version=1.1\nslot=0\n");
    initService(&service);
    const char *refused = "the persistentDataStorage service is not running! Refusing request";
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round == 0 ? "not enabled" : "terminated");
        size_t mark = TestLog::instance().mark();
        auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < 2 * PDS_REQUESTS; i++)
            EXPECT_EQ(persistentDataStorage_SetKey(nullptr, 1, "slot", std::to_string(i).c_str()), PDS_NOT_READY) << i;
        EXPECT_EQ(persistentDataStorage_Delete(nullptr, 1), PDS_NOT_READY);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, firmwareTest::PROMPT);
        std::string logged = TestLog::instance().since(mark);
        size_t lines = 0;
        for (size_t at = logged.find(refused); at != std::string::npos; at = logged.find(refused, at + 1))
            lines++;
        EXPECT_EQ(lines, 2u * PDS_REQUESTS + 1);
        EXPECT_EQ(logged.find("Big problem"), std::string::npos);
        EXPECT_EQ(get("slot"), "0");
        serviceManagerSetConfigReader(storageEnabled);
        service.state = SERVICE_STATE_TERMINATE;
    }
    serviceManagerSetConfigReader(nullptr);
}

TEST_F(RestorePoint, ListenerLimits)
{
    start();
    auto a = [](const pdsKeyCallbackInfo *, log4c_category_t *) {};
    char value[PDS_TEXT_MAX + 1];
    size_t mark = TestLog::instance().mark();
    persistentDataStorage_GetKey(nullptr, 1, "k", value, sizeof value, a);
    persistentDataStorage_GetKey(nullptr, 1, "k", value, sizeof value, a);
    EXPECT_EQ(TestLog::instance().since(mark).find("listeners already"), std::string::npos);
    for (int i = 0; i < PDS_LISTENER_KEYS; i++) {
        std::string key = "key" + std::to_string(i);
        persistentDataStorage_GetKey(nullptr, 1, key.c_str(), value, sizeof value, a);
    }
    EXPECT_NE(TestLog::instance().since(mark).find("no room for a listener of key key19"), std::string::npos);
}

TEST_F(RestorePoint, SendsTheRestorePointInChunksOfFifty)
{
    std::string text = "version=1.1\n" + std::string(120 - 12 - 1, 'x') + "\n";
    ASSERT_EQ(text.size(), 120u);
    writeFile(text);
    start();
    size_t mark = TestLog::instance().mark();
    persistentDataStorage_GetRestorePointMsg(nullptr, 0x15, nullptr, 0);
    std::vector<std::string> data = sent(mark, "opcode 0x0121");
    ASSERT_EQ(data.size(), 3u);
    EXPECT_NE(data[0].find("length 52 data [0000" + hex(text.substr(0, 50)) + "]"), std::string::npos);
    EXPECT_NE(data[1].find("length 52 data [0032" + hex(text.substr(50, 50)) + "]"), std::string::npos);
    EXPECT_NE(data[2].find("length 22 data [0064" + hex(text.substr(100, 20)) + "]"), std::string::npos);
    std::vector<std::string> done = sent(mark, "opcode 0x0122");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_NE(done[0].find("type 3 address 0x15 opcode 0x0122 length 2 data [0078]"), std::string::npos);
    EXPECT_EQ(sent(mark, "strata_send_ack").size(), 1u);
}

std::vector<uint8_t> dataMessage(uint16_t offset, const std::string &bytes)
{
    std::vector<uint8_t> payload(2 + bytes.size());
    payload[0] = (uint8_t)(offset >> 8);
    payload[1] = (uint8_t)offset;
    memcpy(payload.data() + 2, bytes.data(), bytes.size());
    return payload;
}

struct TransferCase {
    const char *name;
    std::vector<std::pair<uint16_t, std::string>> chunks;
    uint16_t announced;
    bool installed;
};

TEST_F(RestorePoint, ReceivedTransfers)
{
    std::string part1 = "version=2.0\nslot=1\n" + std::string(50 - 19, 'a');
    std::string part2 = std::string(19, 'b') + "\n";
    const TransferCase cases[] = {
        {"complete", {{0, part1}, {50, part2}}, 70, true},
        {"length differs", {{0, part1}, {50, part2}}, 71, false},
        {"gap before the last chunk", {{0, part1}, {60, part2}}, 80, false},
        {"retransmitted chunk", {{0, part1}, {0, part1}, {50, part2}}, 70, true},
    };
    for (const TransferCase &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("version=1.1\nslot=0\n");
        start();
        size_t mark = TestLog::instance().mark();
        for (const auto &chunk : c.chunks) {
            std::vector<uint8_t> payload = dataMessage(chunk.first, chunk.second);
            persistentDataStorage_RestorePointDataMsg(nullptr, 0x15, payload.data(), (uint32_t)payload.size());
        }
        uint8_t total[2] = {(uint8_t)(c.announced >> 8), (uint8_t)c.announced};
        persistentDataStorage_RestorePointCompletedMsg(nullptr, 0x15, total, 2);
        EXPECT_EQ(sent(mark, "strata_send_ack").size(), c.chunks.size() + (c.installed ? 1 : 0));
        EXPECT_EQ(sent(mark, "opcode 0x0001 length 1 data [0a]").size(), c.installed ? 0u : 1u);
        EXPECT_EQ(get("version"), c.installed ? "2.0" : "1.1");
        if (c.installed) {
            EXPECT_EQ(file(), part1 + part2);
        }
        stop();
    }
}

TEST_F(RestorePoint, BadTransferMessagesAreNacked)
{
    start();
    size_t mark = TestLog::instance().mark();
    uint8_t total[2] = {0, 0};
    persistentDataStorage_RestorePointCompletedMsg(nullptr, 0x15, total, 2);
    EXPECT_EQ(sent(mark, "opcode 0x0001 length 1 data [0a]").size(), 1u);
    uint8_t oneByte[1] = {0};
    persistentDataStorage_RestorePointDataMsg(nullptr, 0x15, oneByte, 1);
    std::vector<uint8_t> tooLong = dataMessage(0, std::string(58, 'x'));
    persistentDataStorage_RestorePointDataMsg(nullptr, 0x15, tooLong.data(), (uint32_t)tooLong.size());
    std::vector<uint8_t> pastEnd = dataMessage(65530, std::string(10, 'x'));
    persistentDataStorage_RestorePointDataMsg(nullptr, 0x15, pastEnd.data(), (uint32_t)pastEnd.size());
    persistentDataStorage_NewRestorePointStoredMsg(nullptr, 0x15, nullptr, 0);
    EXPECT_EQ(sent(mark, "opcode 0x0001 length 1 data [02]").size(), 4u);
    EXPECT_EQ(sent(mark, "strata_send_ack").size(), 0u);
}

TEST_F(RestorePoint, FactoryDefaultClearsEverythingAndDeactivates)
{
    writeFile("version=1.1\nslot=3\nATDM_MDX_MODE=1\n");
    start();
    EXPECT_EQ(persistentDataStorage_Delete(nullptr, 1), PDS_OK);
    ASSERT_TRUE(waitFor([&] { return file() == "version=1.1\nslot=0\n"; }));
    EXPECT_EQ(get("ATDM_MDX_MODE"), "<none>");
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(persistentDataStorage_SetKey(nullptr, 1, "a", "b"), PDS_OK);
    ASSERT_TRUE(waitFor([&] { return TestLog::instance().since(mark).find("has been deactivated") != std::string::npos; }));
    EXPECT_EQ(get("a"), "<none>");
}

TEST_F(RestorePoint, SaveIsRequestedFourSecondsAfterTheLastChange)
{
    start();
    size_t mark = TestLog::instance().mark();
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; i++) {
        persistentDataStorage_SetKey(nullptr, 1, "k", std::to_string(i).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(waitFor([&] { return !sent(mark, "opcode 0x102d").empty(); }, 8000));
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(5000));
    std::vector<std::string> saves = sent(mark, "opcode 0x102d");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_NE(saves[0].find("type 2 address 0x15 opcode 0x102d length 3 data [000000]"), std::string::npos);
}

} // namespace
