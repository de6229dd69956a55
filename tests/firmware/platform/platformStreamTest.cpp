#include "platform/platformPrivate.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "../main/FirmwareTestSupport.h"

using firmwareTest::TestLog;

namespace {

/* What the fake services saw. */
struct Seen {
    std::map<std::string, std::string> restorePoint;          /* keys getKey finds */
    std::vector<std::string> getKeys;
    std::map<std::string, platformKeyListener_t> listeners;
    std::vector<std::pair<std::string, std::string>> stored;  /* setKey calls */
    std::vector<std::vector<uint32_t>> posted;                /* ATDM_MODE_CHANGED_EVENT records */
    std::vector<uint32_t> audioInputs;
    std::vector<uint32_t> insertion;
    int availability = 0;
    struct Message {
        uint32_t type, destination;
        uint16_t opcode;
        std::vector<uint8_t> payload;
    };
    std::vector<Message> sent;
    int lockHeldDuringCallOut = 0;
};
Seen *seen;

/* Every call-out checks that the stream lock is free: it may call back in. */
void checkUnlocked()
{
    if (pthread_mutex_trylock(&platformRecord.streamMutex) == 0)
        pthread_mutex_unlock(&platformRecord.streamMutex);
    else
        seen->lockHeldDuringCallOut++;
}

int fakeGetKey(log4c_category_t *, const char *key, char *value, uint32_t size, platformKeyListener_t listener)
{
    checkUnlocked();
    seen->getKeys.push_back(key);
    seen->listeners[key] = listener;
    auto it = seen->restorePoint.find(key);
    if (it == seen->restorePoint.end())
        return 8;
    snprintf(value, size, "%s", it->second.c_str());
    return 0;
}

int fakeSetKey(log4c_category_t *, const char *key, const char *value)
{
    checkUnlocked();
    seen->stored.emplace_back(key, value);
    return 0;
}

int fakePost(const uint32_t record[10])
{
    checkUnlocked();
    seen->posted.emplace_back(record, record + 10);
    return 0;
}

void fakeAudio(log4c_category_t *category, uint32_t input)
{
    checkUnlocked();
    /* The real selection reads the setting back. */
    uint32_t mode = 7;
    EXPECT_EQ(platformGetKvrVideoStreamSetting(category, input, &mode), 0);
    EXPECT_LT(mode, 2u);
    seen->audioInputs.push_back(input);
}

void fakeInsertion(log4c_category_t *, uint32_t on)
{
    checkUnlocked();
    seen->insertion.push_back(on);
}

void fakeAvailability(log4c_category_t *)
{
    checkUnlocked();
    seen->availability++;
}

int fakeSend(log4c_category_t *, uint32_t type, uint32_t destination, uint16_t opcode, const uint8_t *payload,
             uint32_t size)
{
    checkUnlocked();
    seen->sent.push_back({type, destination, opcode, std::vector<uint8_t>(payload, payload + size)});
    return 0;
}

class StreamSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        seen = &s;
        platformResetState();
        platformAttach(category, nullptr);
        platformRecord.cardHwType = 0; /* takes NqAsi inputs */
        platformRecord.rearSlot = 0;
        static const platformStreamHooks_t hooks = {fakeGetKey,    fakeSetKey,    fakePost,
                                                    fakeAudio,     fakeInsertion, fakeAvailability};
        platformRegisterStreamHooks(&hooks);
        platformRegisterStrataLink(nullptr, fakeSend);
    }
    void TearDown() override
    {
        EXPECT_EQ(s.lockHeldDuringCallOut, 0) << "a call-out ran with the stream lock held";
        platformRegisterStreamHooks(nullptr);
        platformRegisterStrataLink(nullptr, nullptr);
        seen = nullptr;
    }
    std::string texts()
    {
        char mode[10], out[10], in[10];
        platformGetStreamSettingTexts(mode, out, in);
        return std::string(mode) + "/" + out + "/" + in;
    }
    std::string flags()
    {
        std::string all;
        uint32_t v = 0;
        platformGetKvrVideoStreamSetting(category, PLATFORM_STREAM_GLOBAL, &v);
        all += char('0' + v);
        all += ':';
        for (uint32_t i = 0; i < 9; i++)
            all += (platformGetKvrVideoStreamSetting(category, i, &v), char('0' + v));
        all += '/';
        for (uint32_t i = 0; i < 9; i++)
            all += (platformGetKvrVideoStreamEnable(category, i, &v), char('0' + v));
        all += '/';
        for (uint32_t i = 0; i < 9; i++)
            all += (platformGetKvrMosaicOutputEnable(category, i, &v), char('0' + v));
        return all;
    }
    /* Puts the card in MDX mode with every input MDX, then forgets what the fakes saw. */
    void startInMdx()
    {
        platformResetState();
        platformRecord.cardHwType = 0;
        s.restorePoint = {{"ATDM_MDX_MODE", "MDX_MODE"}, {"ATDM_ROUT_OUT_MODE", "111111111"}};
        platformInitKvrVideoStreamSetting(category);
        ASSERT_EQ(flags(), "1:111111111/111111111/110000000");
        Seen fresh;
        fresh.restorePoint = s.restorePoint;
        fresh.listeners = s.listeners;
        s = fresh;
    }
    log4c_category_t *category = log4c_category_get("ulm.firmware.main");
    Seen s;
};

TEST_F(StreamSettings, DefaultsByCardSlotWhenTheRestorePointHasNoKeys)
{
    const struct {
        uint32_t slot;
        const char *expected;
    } cases[] = {
        {0, "0:000000000/111111111/110000000"},
        {1, "0:000000000/111111111/110000000"},
        {2, "0:000000000/111111111/000000000"},
        {5, "0:000000000/111111111/000000000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.slot);
        platformResetState();
        platformAttach(category, nullptr);
        platformRecord.cardHwType = 0;
        platformRecord.rearSlot = c.slot;
        s.getKeys.clear();
        platformInitKvrVideoStreamSetting(category);
        EXPECT_EQ(flags(), c.expected);
        EXPECT_EQ(s.getKeys,
                  (std::vector<std::string>{"ATDM_MDX_MODE", "ATDM_ROUT_OUT_MODE", "ATDM_ROUT_OUT_EN", "ATDM_ROUT_IN_EN"}));
        EXPECT_TRUE(s.listeners["ATDM_MDX_MODE"] == platformTheMDXModeCallbackfn);
        EXPECT_TRUE(s.listeners["ATDM_ROUT_IN_EN"] == platformTheRouterInputEnableCallbackfn);
    }
    EXPECT_EQ(s.availability, 4);
    EXPECT_TRUE(s.stored.empty());
}

TEST_F(StreamSettings, ACardWithoutNqAsiInputsIgnoresTheRestorePoint)
{
    platformRecord.cardHwType = 1;
    s.restorePoint = {{"ATDM_MDX_MODE", "MDX_MODE"}, {"ATDM_ROUT_OUT_EN", "000000000"}};
    platformInitKvrVideoStreamSetting(category);
    EXPECT_TRUE(s.getKeys.empty());
    EXPECT_EQ(flags(), "0:000000000/111111111/111111111");
    EXPECT_EQ(texts(), "000000000/111111111/111111111");
}

TEST_F(StreamSettings, StoredValuesAreReadPerCharacterAndBadCharactersTakeTheDefault)
{
    size_t mark = TestLog::instance().mark();
    s.restorePoint = {{"ATDM_MDX_MODE", "MDX_MODE"},
                      {"ATDM_ROUT_OUT_MODE", "10z000001"},
                      {"ATDM_ROUT_OUT_EN", "1111x1111"},
                      {"ATDM_ROUT_IN_EN", "0?1"}};
    platformInitKvrVideoStreamSetting(category);
    EXPECT_EQ(flags(), "1:100000001/111111111/011000000");
    EXPECT_EQ(texts(), "100000001/111111111/011000000");
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("Restore Point indicates that ATDM Mode is MDX_MODE."), std::string::npos);
    EXPECT_NE(log.find("Router Output Mode index 2 is z. We only accept 0 or 1."), std::string::npos);
    EXPECT_NE(log.find("Router Output Enable index 4 is x. We only accept 0 or 1."), std::string::npos);
    EXPECT_NE(log.find("Router Input Enable index 1 is ?. We only accept 0 or 1."), std::string::npos);
    EXPECT_EQ(log.find("Router Output Enable index 3"), std::string::npos);
}

TEST_F(StreamSettings, GettersAndSettersRefuseBadValuesBeforeBadIndexes)
{
    using Set = int (*)(log4c_category_t *, uint32_t, uint32_t);
    using Get = int (*)(log4c_category_t *, uint32_t, uint32_t *);
    const struct {
        Set set;
        uint32_t index, value;
        const char *line;
    } sets[] = {
        {platformSetKvrVideoStreamSetting, 3, 2, "Invalid argument. kvrVideoInputMode = 2"},
        {platformSetKvrVideoStreamSetting, 12, 2, "Invalid argument. kvrVideoInputMode = 2"},
        {platformSetKvrVideoStreamSetting, 9, 1, "Invalid arguments. kvrVideoInput = 9"},
        {platformSetKvrVideoStreamSetting, PLATFORM_STREAM_GLOBAL, 3, "Invalid argument. kvrVideoInputMode = 3"},
        {platformSetKvrVideoStreamEnable, 0, 5, "Invalid argument. kvrVideoInputEnable = 5"},
        {platformSetKvrVideoStreamEnable, 9, 1, "Invalid arguments. kvrVideoInput = 9"},
        {platformSetKvrMosaicOutputEnable, 99, 2, "Invalid argument. kvrVideoOutputEnable = 2"},
        {platformSetKvrMosaicOutputEnable, 255, 0, "Invalid arguments. kvrVideoOutput = 255"},
    };
    std::string before = texts();
    for (const auto &c : sets) {
        SCOPED_TRACE(c.line);
        size_t mark = TestLog::instance().mark();
        EXPECT_EQ(c.set(category, c.index, c.value), 4);
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos);
    }
    EXPECT_EQ(texts(), before);
    const struct {
        Get get;
        uint32_t index;
        const char *line;
    } gets[] = {
        {platformGetKvrVideoStreamSetting, 9, "Invalid argument. kvrVideoInput = 9"},
        {platformGetKvrVideoStreamEnable, 10, "Invalid argument. kvrVideoInput = 10"},
        {platformGetKvrMosaicOutputEnable, 254, "Invalid argument. kvrVideoOutput = 254"},
    };
    for (const auto &c : gets) {
        SCOPED_TRACE(c.line);
        size_t mark = TestLog::instance().mark();
        uint32_t value = 77;
        EXPECT_EQ(c.get(category, c.index, &value), 4);
        EXPECT_EQ(value, 77u);
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos);
    }
    /* The good paths move flag and mirror together. */
    EXPECT_EQ(platformSetKvrVideoStreamSetting(category, 8, 1), 0);
    EXPECT_EQ(platformSetKvrVideoStreamEnable(category, 0, 0), 0);
    EXPECT_EQ(platformSetKvrMosaicOutputEnable(category, 4, 1), 0);
    EXPECT_EQ(platformSetKvrVideoStreamSetting(category, PLATFORM_STREAM_GLOBAL, 1), 0);
    EXPECT_EQ(texts(), "000000001/011111111/110010000");
    uint32_t global = 0;
    EXPECT_EQ(platformGetKvrVideoStreamSetting(category, PLATFORM_STREAM_GLOBAL, &global), 0);
    EXPECT_EQ(global, 1u);
}

TEST_F(StreamSettings, AnInputModeChangeInHybridModeDoesNothing)
{
    platformInitKvrVideoStreamSetting(category);
    s = Seen();
    uint32_t changed = 9;
    EXPECT_EQ(platformTheRouterOutputModeChanged(category, 3, 1, &changed, 0), 0);
    EXPECT_EQ(changed, 0u);
    EXPECT_EQ(texts(), "000000000/111111111/110000000");
    EXPECT_TRUE(s.stored.empty());
    EXPECT_TRUE(s.posted.empty());
    EXPECT_TRUE(s.audioInputs.empty());
}

TEST_F(StreamSettings, AnInputModeChangeInMdxModeStoresReselectsAndPosts)
{
    startInMdx();
    uint32_t changed = 0;
    EXPECT_EQ(platformTheRouterOutputModeChanged(category, 2, 0, &changed, 0), 0);
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(texts(), "110111111/111111111/110000000");
    EXPECT_EQ(s.audioInputs, std::vector<uint32_t>{2});
    EXPECT_EQ(s.availability, 1);
    ASSERT_EQ(s.stored.size(), 1u);
    EXPECT_EQ(s.stored[0], std::make_pair(std::string("ATDM_ROUT_OUT_MODE"), std::string("110111111")));
    ASSERT_EQ(s.posted.size(), 1u);
    EXPECT_EQ(s.posted[0], (std::vector<uint32_t>{1, 1, 1, 0, 1, 1, 1, 1, 1, 1}));
}

TEST_F(StreamSettings, AnInputOutOfRangeIsRefusedBeforeAnythingIsWritten)
{
    startInMdx();
    size_t mark = TestLog::instance().mark();
    uint32_t changed = 5;
    EXPECT_EQ(platformTheRouterOutputModeChanged(category, 9, 0, &changed, 0), 4);
    EXPECT_EQ(changed, 0u);
    EXPECT_NE(TestLog::instance().since(mark).find("RouterOutputMode changed but input 9 out of range."),
              std::string::npos);
    EXPECT_EQ(flags(), "1:111111111/111111111/110000000");
    EXPECT_TRUE(s.stored.empty());
    EXPECT_TRUE(s.posted.empty());
}

TEST_F(StreamSettings, MdxToHybridSetsEveryInputStoresBothKeysAndPostsOnce)
{
    startInMdx();
    size_t mark = TestLog::instance().mark();
    uint32_t changed = 0;
    EXPECT_EQ(platformTheGlobalMDXModeChanged(category, 0, &changed, 0), 0);
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(flags(), "0:000000000/111111111/110000000");
    EXPECT_EQ(s.insertion, std::vector<uint32_t>{1});
    EXPECT_EQ(s.audioInputs, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(s.availability, 1);
    EXPECT_EQ(s.stored, (std::vector<std::pair<std::string, std::string>>{{"ATDM_MDX_MODE", "HYBRID_MODE"},
                                                                           {"ATDM_ROUT_OUT_MODE", "000000000"}}));
    ASSERT_EQ(s.posted.size(), 1u);
    EXPECT_EQ(s.posted[0], std::vector<uint32_t>(10, 0));
    std::string log = TestLog::instance().since(mark);
    EXPECT_NE(log.find("ATDM Mode Requested 0, current mode is 1 (0=Hybrid_Mode, 1=MDX_Mode). Applying changes."),
              std::string::npos);
    EXPECT_NE(log.find("overriding input 8 mode to 0 (0=NonMDX, 1=MDX)."), std::string::npos);

    s = Seen();
    mark = TestLog::instance().mark();
    EXPECT_EQ(platformTheGlobalMDXModeChanged(category, 0, &changed, 0), 0);
    EXPECT_EQ(changed, 0u);
    EXPECT_NE(TestLog::instance().since(mark).find("current mode is 0 (0=Hybrid_Mode, 1=MDX_Mode). No change necessary."),
              std::string::npos);
    EXPECT_TRUE(s.stored.empty());
    EXPECT_TRUE(s.posted.empty());
    EXPECT_TRUE(s.insertion.empty());
}

TEST_F(StreamSettings, EnableChangesStoreTheMirrorUnlessFromACallback)
{
    platformInitKvrVideoStreamSetting(category);
    s = Seen();
    uint32_t changed = 0;
    EXPECT_EQ(platformTheRouterOutputEnableChanged(category, 8, 0, &changed, 0), 0);
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(platformTheRouterInputEnableChanged(category, 2, 1, &changed, 1), 0);
    EXPECT_EQ(platformTheRouterInputEnableChanged(category, 9, 1, &changed, 0), 4);
    EXPECT_EQ(changed, 0u);
    EXPECT_EQ(s.stored, (std::vector<std::pair<std::string, std::string>>{{"ATDM_ROUT_OUT_EN", "111111110"}}));
    EXPECT_EQ(texts(), "000000000/111111110/111000000");
    EXPECT_TRUE(s.posted.empty());
}

TEST_F(StreamSettings, AKeyChangedByTheControllerIsBroadcastAndNotStored)
{
    const struct {
        const char *key;
        const char *value;
        platformKeyListener_t listener;
        uint16_t opcode;
        std::vector<uint8_t> payload;  /* index, value */
        const char *line;
    } cases[] = {
        {"ATDM_ROUT_OUT_MODE", "111101111", platformTheRouterOutputModeCallbackfn, 0x1604, {4, 0},
         "We must broadcast Video Input 4, mode 0 (0=Hybrid, 1 = MDX)."},
        {"ATDM_ROUT_OUT_EN", "111111101", platformTheRouterOutputEnableCallbackfn, 0x121f, {7, 0},
         "We must broadcast Video Input 7, Enable 0 (0=Hybrid, 1 = MDX)."},
        {"ATDM_ROUT_IN_EN", "110000001", platformTheRouterInputEnableCallbackfn, 0x1219, {8, 1},
         "We must broadcast Video Output 8, Enable 1 (0=Hybrid, 1 = MDX)."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        startInMdx();
        ASSERT_TRUE(s.listeners[c.key] == c.listener);
        size_t mark = TestLog::instance().mark();
        platformKeyChange_t change = {category, 1, c.key, c.value};
        c.listener(&change);
        ASSERT_EQ(s.sent.size(), 1u);
        EXPECT_EQ(s.sent[0].type, 0u);
        EXPECT_EQ(s.sent[0].destination, 0u);
        EXPECT_EQ(s.sent[0].opcode, c.opcode);
        EXPECT_EQ(s.sent[0].payload, c.payload);
        EXPECT_TRUE(s.stored.empty());
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos);
        /* The same value again equals the mirror: nothing is sent. */
        s.sent.clear();
        c.listener(&change);
        EXPECT_TRUE(s.sent.empty());
    }
}

TEST_F(StreamSettings, TheModeKeyChangedByTheControllerBroadcastsEveryInput)
{
    startInMdx();
    platformKeyChange_t change = {category, 1, "ATDM_MDX_MODE", "HYBRID_MODE"};
    platformTheMDXModeCallbackfn(&change);
    ASSERT_EQ(s.sent.size(), 9u);
    for (uint8_t i = 0; i < 9; i++) {
        EXPECT_EQ(s.sent[i].opcode, 0x1604);
        EXPECT_EQ(s.sent[i].payload, (std::vector<uint8_t>{i, 0}));
    }
    EXPECT_TRUE(s.stored.empty());
    EXPECT_EQ(s.posted.size(), 1u);

    const struct {
        platformKeyChange_t change;
        const char *line;
    } refused[] = {
        {{category, 1, "ATDM_MDX_MODE", "TURBO_MODE"}, "Error, unknown value TURBO_MODE for key ATDM_MDX_MODE."},
        {{category, 1, "ATDM_ROUT_IN_EN", "MDX_MODE"}, "Error, the key ATDM_ROUT_IN_EN is not known."},
        {{category, 1, nullptr, "MDX_MODE"}, "Error, Bad arguments."},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.line);
        s.sent.clear();
        size_t mark = TestLog::instance().mark();
        platformTheMDXModeCallbackfn(&c.change);
        EXPECT_TRUE(s.sent.empty());
        EXPECT_NE(TestLog::instance().since(mark).find(c.line), std::string::npos);
    }
    /* A key reported absent changes nothing. */
    platformKeyChange_t absent = {category, 0, "ATDM_MDX_MODE", "MDX_MODE"};
    platformTheMDXModeCallbackfn(&absent);
    platformTheMDXModeCallbackfn(nullptr);
    EXPECT_TRUE(s.sent.empty());
    EXPECT_EQ(flags(), "0:000000000/111111111/110000000");
}

} // namespace
