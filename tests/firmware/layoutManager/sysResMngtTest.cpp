/*
 * Resource management through the layout manager: which windows a head
 * shows, spanning and stitching, the head-apply classification, scalers
 * handed back and asked for again, and the commit after programming.
 */

#include "ScalerTestSupport.h"

using namespace layoutTest;

namespace {

/* n windows 960 x 540, window id i on input i % 9. */
std::vector<WindowPlacement> ownWindows(int n, int firstId = 0)
{
    std::vector<WindowPlacement> windows;
    for (int i = firstId; i < firstId + n; i++)
        windows.push_back({i, OWN_SLOT, i % 9, 960, 540, 0, 0, 960, 540});
    return windows;
}

class SysResMngt : public ScalerFixture {
protected:
    void SetUp() override
    {
        ScalerFixture::SetUp();
        for (uint32_t i = 0; i < 9; i++)
            input(lockedInput(i, 12, 1920, 1080, 1));
        for (int head = 0; head < 4; head++)
            send(headResolution(head));
        cardsimClearLogs();
    }
    static postScalerData_t &post(uint32_t head) { return layoutManagerSysResMngtHeadData(head)->post; }
    /* The windows of a head's result in block and record order. */
    static std::vector<uint32_t> windowIds(uint32_t head)
    {
        std::vector<uint32_t> ids;
        for (const inputWinInfo &block : post(head).inputs)
            for (uint32_t r = 0; r < block.inputWindowQty; r++)
                ids.push_back(block.windows[r].winId);
        return ids;
    }
    static const windowInfo_t *window(uint32_t head, uint32_t winId)
    {
        for (const inputWinInfo &block : post(head).inputs)
            for (uint32_t r = 0; r < block.inputWindowQty; r++)
                if (block.windows[r].winId == winId)
                    return &block.windows[r];
        return nullptr;
    }
    /* n windows 960 x 540 on head, window id i on input i % 9. */
    void layWindows(int head, int n, int firstId = 0)
    {
        for (const WindowPlacement &w : ownWindows(n, firstId))
            send(windowLayout(head, w));
    }
    size_t count(const std::string &text, size_t mark) const
    {
        std::string all = log().since(mark);
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            n++;
        return n;
    }
};

/* A window head 0 does not show, and what the head shows instead. */
struct LeftOut {
    const char *name;
    std::vector<WindowPlacement> windows;
    size_t shown;                  /* windows shown */
    std::vector<uint32_t> shownIds; /* empty: only their number is checked */
    uint32_t leftOutId;
    const char *line;              /* said once for it; null: nothing said */
    int committed;                 /* windowCountCommitted; -1: not checked */
    int enabled;                   /* scaler-enable bits at 7168; -1: not checked */
    int firstShownScaler;          /* scaler of the first shown window; -1: not checked */
};

void PrintTo(const LeftOut &c, std::ostream *os) { *os << c.name; }

class SysResMngtLeftOut : public SysResMngt, public ::testing::WithParamInterface<LeftOut> {};

TEST_P(SysResMngtLeftOut, IsNotShown)
{
    const LeftOut &c = GetParam();
    for (const WindowPlacement &w : c.windows)
        send(windowLayout(0, w));
    size_t mark = log().mark();
    send(applyLayout(0, (int)c.windows.size()));
    std::vector<uint32_t> ids = windowIds(0);
    EXPECT_EQ(ids.size(), c.shown);
    if (!c.shownIds.empty()) {
        EXPECT_EQ(ids, c.shownIds);
    }
    EXPECT_EQ(window(0, c.leftOutId), nullptr);
    if (c.line) {
        EXPECT_EQ(count(c.line, mark), 1u);
    }
    if (c.committed >= 0) {
        EXPECT_EQ(post(0).windowCountCommitted, (uint32_t)c.committed);
    }
    if (c.enabled >= 0) {
        EXPECT_EQ(writesOf(DPS, 7168, 7168), std::vector<Write>({{7168, (uint16_t)c.enabled}}));
    }
    if (c.firstShownScaler >= 0) {
        ASSERT_FALSE(ids.empty());
        EXPECT_EQ(window(0, ids[0])->scalerId, (uint32_t)c.firstShownScaler);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, SysResMngtLeftOut,
    ::testing::Values(
        LeftOut{"OtherCardsWindowsAreNotShown",
                {{0, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}, {1, OTHER_SLOT, 0, 960, 540, 960, 0, 960, 540}},
                1, {0}, 1, nullptr, 1, 1, -1},
        LeftOut{"TenthWindowOfTheCardIsNotShown", ownWindows(10), 9, {}, 9,
                "window 9 is beyond the 9 windows of this card", -1, 0x1FF, -1},
        LeftOut{"InputAboveEightIsIgnored",
                {{0, OWN_SLOT, 12, 960, 540, 0, 0, 960, 540}, {1, OWN_SLOT, 3, 960, 540, 960, 0, 960, 540}},
                1, {1}, 0, "window 0 names input 12, the card has 9; window left out", -1, -1, 0}),
    [](const ::testing::TestParamInfo<LeftOut> &info) { return std::string(info.param.name); });

TEST_F(SysResMngt, SpanningTypes)
{
    struct Case {
        const char *name;
        int head;
        WindowPlacement placement;
        uint32_t type;
        bool shown;
    } cases[] = {
        {"None", 0, {0, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}, 0, true},
        {"VerticalTopLeft", 0, {1, OWN_SLOT, 0, 960, 540, 0, 800, 960, 800}, 1, true},
        {"VerticalFromBottomLeftRefused", 1, {2, OWN_SLOT, 0, 960, 540, 0, 800, 960, 800}, 1, false},
        {"HorizontalBottomLeft", 1, {3, OWN_SLOT, 0, 1920, 540, 0, 0, 3840, 540}, 2, true},
        {"HorizontalFromTopRightRefused", 2, {4, OWN_SLOT, 0, 1920, 540, 0, 0, 3840, 540}, 2, false},
        {"FullTopLeft", 0, {5, OWN_SLOT, 0, 960, 540, 960, 540, 1920, 1000}, 3, true},
        {"FullFromBottomRightRefused", 3, {6, OWN_SLOT, 0, 960, 540, 960, 540, 1920, 1000}, 3, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        send(windowLayout(c.head, c.placement));
        send(applyLayout(c.head, 1));
        const windowInfo_t *w = window((uint32_t)c.head, (uint32_t)c.placement.winId);
        EXPECT_EQ(w != nullptr, c.shown);
        if (w) {
            EXPECT_EQ(w->spanningType, c.type);
            EXPECT_EQ(w->stitching, 0u);
        }
        send(windowLayout(c.head, {c.placement.winId, 0, 0, 0, 0, 0, 0, 0, 0}));
        send(applyLayout(c.head, 0));
    }
}

/* A card in QVS slot 5 shows managed head 0 as logical head 2 and prints that display id. */
TEST_F(SysResMngt, SlotFiveMapsHeads)
{
    layoutManagerSysResMngtHeadData(0)->slotId = 5;
    send(windowLayout(0, {0, 5, 0, 1920, 540, 0, 0, 3840, 540}));
    size_t mark = log().mark();
    send(applyLayout(0, 1));
    EXPECT_EQ(layoutManagerSysResMngtHeadData(0)->displayHead, 2u);
    EXPECT_EQ(window(0, 0), nullptr); /* logical 2 is not a left head */
    EXPECT_GE(count("head id 0 [display head id 2]", mark), 1u);
}

struct StitchCase {
    const char *name;
    WindowPlacement placement;
    bool shown;
    uint32_t x, width, y, height, fullWidth;
};

class Stitching : public SysResMngt, public ::testing::WithParamInterface<StitchCase> {};

TEST_P(Stitching, Parts)
{
    const StitchCase &c = GetParam();
    send(windowLayout(0, c.placement));
    size_t mark = log().mark();
    send(applyLayout(0, 1));
    const windowInfo_t *w = window(0, (uint32_t)c.placement.winId);
    ASSERT_EQ(w != nullptr, c.shown);
    if (!w) {
        EXPECT_EQ(count("refused: narrower than the cut", mark), 1u);
        return;
    }
    EXPECT_EQ(w->stitching, 1u);
    EXPECT_EQ(w->windowX, c.x);
    EXPECT_EQ(w->videoOutHDimension, c.width);
    EXPECT_EQ(w->windowY, c.y);
    EXPECT_EQ(w->videoOutVDimension, c.height);
    EXPECT_EQ(w->videoOutFullHDimension, c.fullWidth);
    EXPECT_EQ(w->videoOutFullVDimension, 1080u);
}

/*
 * 3840 x 2160 at 0,0 (1920 x 1080 on this head): V0 540, part y 540, height
 * 540. No crops: cut (3840 - 1920) / 2 = 960. Crop end 25600 (half): t 960,
 * C2 = 3840 - 960 = 2880, part x = OFF (960), width 1920 - 960, PFW 960.
 * Crop end on a window 600 wide: width - OFF would wrap, so it is refused.
 */
INSTANTIATE_TEST_SUITE_P(
    SysResMngt, Stitching,
    ::testing::Values(StitchCase{"NoCrop", {0, OWN_SLOT, 0, 1920, 1080, 0, 0, 3840, 2160}, true, 960, 960, 540, 540,
                                 1920},
                      StitchCase{"CropEnd", {0, OWN_SLOT, 0, 1920, 1080, 0, 0, 3840, 2160, 0, 25600}, true, 960, 960,
                                 540, 540, 960},
                      StitchCase{"NarrowerThanTheCut", {0, OWN_SLOT, 0, 600, 1080, 0, 0, 3840, 2160, 0, 25600}, false,
                                 0, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<StitchCase> &info) { return info.param.name; });

TEST_F(SysResMngt, ClassificationAtApply)
{
    send(windowLayout(0, {0, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}));
    send(windowLayout(0, {1, OWN_SLOT, 1, 960, 540, 960, 0, 960, 540}));
    send(applyLayout(0, 2));
    EXPECT_EQ(post(0).classification, (uint32_t)SRM_HEAD_APPLY_EVENT);

    /* Same size and place, another input of this card. */
    send(windowLayout(0, {1, OWN_SLOT, 2, 960, 540, 960, 0, 960, 540}));
    send(applyLayout(0, 2));
    EXPECT_EQ(post(0).classification, (uint32_t)SRM_SOURCE_CHANGE_EVENT);
    EXPECT_EQ(window(0, 1)->inputNb, 2u);
    EXPECT_EQ(window(0, 1)->scalerEnable, 1u);

    send(applyLayout(0, 2));
    EXPECT_EQ(post(0).classification, (uint32_t)SRM_HEAD_APPLY_EVENT);

    /* Another card's input: the scaler is freed at the apply. */
    uint32_t scaler = window(0, 1)->scalerId;
    send(windowLayout(0, {1, OTHER_SLOT, 2, 960, 540, 960, 0, 960, 540}));
    send(applyLayout(0, 2));
    EXPECT_EQ(post(0).classification, (uint32_t)SRM_SOURCE_CHANGE_EVENT);
    EXPECT_EQ(window(0, 1), nullptr);
    EXPECT_EQ(layoutManagerSysResMngtScalerPool()[scaler].enable, 0u);
}

TEST_F(SysResMngt, EmptyApplyFreesEverything)
{
    layWindows(0, 3);
    send(applyLayout(0, 3));
    cardsimClearLogs();
    send(applyLayout(0, 0));
    for (uint32_t id = 0; id < SCALER_COUNT; id++)
        EXPECT_EQ(layoutManagerSysResMngtScalerPool()[id].enable, 0u);
    EXPECT_TRUE(windowIds(0).empty());
    EXPECT_EQ(writesOf(DPS), std::vector<Write>({{7168, 0}}));
    /* Window count 0: every layer off, tables cleared, strobes. */
    EXPECT_EQ(writesOf(FSM, 6324, 6324), std::vector<Write>({{6324, 1}}));
    EXPECT_EQ(writesOf(FSM, 5248, 5375).size(), 0u);
}

/* Head 1 waits for a scaler; when head 0 gives one back the event is posted once and head 1 takes it. */
TEST_F(SysResMngt, WaitingWindowGetsTheFreedScaler)
{
    layWindows(0, 9);
    send(applyLayout(0, 9));
    send(windowLayout(1, {20, OWN_SLOT, 0, 960, 540, 0, 0, 960, 540}));
    size_t mark = log().mark();
    send(applyLayout(1, 1));
    EXPECT_EQ(window(1, 20)->scalerEnable, 0u);
    EXPECT_EQ(layoutManagerSysResMngtHeadData(1)->waiting, 1u);
    EXPECT_EQ(count("Generate Scaler Resources Available Event", mark), 0u);

    cardsimClearLogs();
    send(windowLayout(0, {4, 0, 0, 0, 0, 0, 0, 0, 0}));
    send(applyLayout(0, 8));
    EXPECT_EQ(count("Generate Scaler Resources Available Event", mark), 1u);
    EXPECT_EQ(window(1, 20)->scalerId, 4u);
    EXPECT_EQ(layoutManagerSysResMngtHeadData(1)->waiting, 0u);
    /* Head 1's window is programmed in scaler 4 and shown in quadrant 1. */
    EXPECT_FALSE(writesOf(DPS, 6144 + 64 * 4, 6144 + 64 * 4 + 43).empty());
    EXPECT_EQ(writesOf(FSM, 5248 + 18 + 4, 5248 + 18 + 4), std::vector<Write>({{5248 + 18 + 4, 516}}));
    EXPECT_EQ(count("Generate Scaler Resources Available Event", mark), 1u);
}

TEST_F(SysResMngt, UnlockedInputShowsDefaultFormatAndHides)
{
    videoInputRecord lost = lockedInput(3, 65535, 0, 0, 0);
    lost.carrierDetect = 0;
    input(lost);
    send(windowLayout(0, {0, OWN_SLOT, 3, 960, 540, 0, 0, 960, 540}));
    send(windowAttributes(0, 0, 0, 0, 1));
    send(applyLayout(0, 1));
    const windowInfo_t *w = window(0, 0);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->sizeIn, 1920u);
    EXPECT_EQ(w->vSizeIn, 1080u);
    EXPECT_EQ(w->scanningFormat, 1u);
    EXPECT_EQ(w->hide_at_lost, 1u);
    /* Attribute word of quadrant 0: enabled and hidden. */
    EXPECT_EQ(writesOf(FSM, 6152, 6152).front(), (Write{6152, 65}));
}

TEST_F(SysResMngt, CommitAfterProgramming)
{
    layWindows(0, 2);
    send(applyLayout(0, 2));
    const sysResMngtHeadData_t *hd = layoutManagerSysResMngtHeadData(0);
    EXPECT_EQ(hd->post.newDataFlag, (uint32_t)SRM_NEW_DATA_START);
    EXPECT_EQ(hd->post.disableUnusedWindows, 0u);
    EXPECT_EQ(hd->post.windowCountCommitted, 2u);
    EXPECT_EQ(hd->previous[0].inputWindowQty, 1u);
    EXPECT_EQ(hd->previous[1].windows[0].winId, 1u);
    EXPECT_EQ(hd->post.inputs[0].windows[0].windowConfigHasChanged, 0u);
    EXPECT_TRUE(log().contains("postSysResMngtProcess function-> video path processing Succeeded"));

    /* Nothing changed: the next apply reprograms no scaler block. */
    cardsimClearLogs();
    send(applyLayout(0, 2));
    EXPECT_TRUE(writesOf(DPS, 6144, 6719).empty());
}

/*
 * Once the head's result was committed, an input change is posted as an
 * input change: the scaler block, the deinterlacer and the positioner are
 * reprogrammed, the output arbiter and the layer tables are left alone.
 */
TEST_F(SysResMngt, InputChangeReprogramsTheWindowsOfTheInput)
{
    send(windowLayout(0, {0, OWN_SLOT, 1, 1920, 1080, 0, 0, 1920, 1080}));
    send(applyLayout(0, 1));
    cardsimClearLogs();
    input(lockedInput(1, 11, 1920, 540, 0));
    EXPECT_EQ(window(0, 0)->vSizeIn, 540u);
    EXPECT_EQ(window(0, 0)->deinterlacerEnable, 1u);
    EXPECT_EQ(layoutManagerSysResMngtHeadData(0)->eventKind, (uint32_t)SRM_KIND_INPUT_CHANGE);
    EXPECT_EQ(writesOf(DPS, 6144 + 15, 6144 + 15).back(), (Write{6144 + 15, 539}));
    EXPECT_EQ(writesOf(DPS, 7200, 7200), std::vector<Write>({{7200, 1}}));
    EXPECT_TRUE(writesOf(DPS, 7168, 7168).empty());
    EXPECT_TRUE(writesOf(FSM, 5120, 5375).empty());
    EXPECT_EQ(writesOf(FSM, 6324, 6324), std::vector<Write>({{6324, 1}}));

    /* An input no window of the head uses changes nothing. */
    cardsimClearLogs();
    input(lockedInput(5, 11, 1920, 540, 0));
    EXPECT_TRUE(cardsimFpgaWrites(DPS).empty());
}

} // namespace
