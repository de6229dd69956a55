/*
 * The scaler and deinterlacer pools on their own: records built by hand, no
 * layout manager.
 */

#include <gtest/gtest.h>
#include <memory>

#include "layoutManager/sysResMngtPrivate.h"

#include "../main/FirmwareTestSupport.h"

namespace {

using firmwareTest::TestLog;

class Pools : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestLog::instance();
        category = log4c_category_get("ulm.firmware.layoutMngSrvc");
        for (auto *data : {head0.get(), head1.get()}) {
            memset(data, 0, sizeof *data);
            for (inputWinInfo &block : data->inputs)
                for (windowInfo_t &w : block.windows) {
                    w.winId = SCALER_WINDOW_ID_NONE;
                    w.scalerId = SCALER_ID_NONE;
                }
        }
        memset(pool, 0, sizeof pool);
        ASSERT_EQ(ScalerPoolManager_scalerPoolInitialization(pool, category), 1);
        DPM_init(category);
    }
    /* Appends a changed window to an input's block. */
    windowInfo_t &add(postScalerData_t *data, uint32_t input, uint32_t winId)
    {
        inputWinInfo &block = data->inputs[input];
        windowInfo_t &w = block.windows[block.inputWindowQty++];
        w.winId = winId;
        w.windowConfigHasChanged = 1;
        w.scanningFormat = 1;
        return w;
    }
    windowInfo_t &addInterlaced(postScalerData_t *data, uint32_t input, uint32_t winId, uint32_t width,
                                uint32_t field, uint32_t shownLines)
    {
        windowInfo_t &w = add(data, input, winId);
        w.scanningFormat = 0;
        w.sizeIn = width;
        w.vSizeIn = field;
        w.videoOutVDimension = shownLines;
        return w;
    }
    int deinterlacersInUse()
    {
        int n = 0;
        for (uint32_t id = 0; id < SCALER_COUNT; id++)
            n += layoutManagerDpmEntry(id)->head != DEINTERLACER_FREE;
        return n;
    }

    log4c_category_t *category = nullptr;
    scalerInfo_t pool[SCALER_COUNT];
    std::unique_ptr<postScalerData_t> head0{new postScalerData_t};
    std::unique_ptr<postScalerData_t> head1{new postScalerData_t};
};

TEST_F(Pools, NineScalersSharedLowestFreeFirstInBlockOrder)
{
    /* Head 0: six windows over blocks 2 and 0; block order first, then record order. */
    uint32_t head0Windows[][2] = {{2, 10}, {2, 11}, {0, 20}, {0, 21}, {5, 30}, {5, 31}};
    for (auto &w : head0Windows)
        add(head0.get(), w[0], w[1]);
    ASSERT_EQ(ScalerPoolManager_applyScalersForHead(pool, head0.get(), 0, category), 1);
    EXPECT_EQ(head0->inputs[0].windows[0].scalerId, 0u);
    EXPECT_EQ(head0->inputs[0].windows[1].scalerId, 1u);
    EXPECT_EQ(head0->inputs[2].windows[0].scalerId, 2u);
    EXPECT_EQ(head0->inputs[5].windows[1].scalerId, 5u);

    size_t mark = TestLog::instance().mark();
    for (uint32_t winId : {40u, 41u, 42u, 43u})
        add(head1.get(), 1, winId);
    ASSERT_EQ(ScalerPoolManager_applyScalersForHead(pool, head1.get(), 1, category), 1);
    for (uint32_t r = 0; r < 3; r++) {
        EXPECT_EQ(head1->inputs[1].windows[r].scalerId, 6 + r);
        EXPECT_EQ(pool[6 + r].head, 1u);
        EXPECT_EQ(pool[6 + r].winId, 40 + r);
    }
    EXPECT_EQ(head1->inputs[1].windows[3].scalerId, (uint32_t)SCALER_ID_NONE);
    EXPECT_EQ(head1->inputs[1].windows[3].scalerEnable, 0u);
    EXPECT_NE(TestLog::instance().since(mark).find("No more scaler to allocate for winId 43 on HEAD #1"),
              std::string::npos);
    EXPECT_EQ(ScalerPoolManager_isScalerResourceAvailable(pool, category), 0);

    /* Freeing gives the freed id to the next changed window. */
    ASSERT_EQ(ScalerPoolManager_freeScalerForWindow(pool, head0.get(), 0, 21, category), 1);
    EXPECT_EQ(head0->inputs[0].windows[1].scalerId, (uint32_t)SCALER_ID_NONE);
    EXPECT_EQ(pool[1].enable, 0u);
    EXPECT_EQ(pool[1].winId, 21u); /* the last owner stays */
    ASSERT_EQ(ScalerPoolManager_applyScalersForHead(pool, head1.get(), 1, category), 1);
    EXPECT_EQ(head1->inputs[1].windows[3].scalerId, 1u);
}

TEST_F(Pools, FreeUnknownAndUnheldWindows)
{
    add(head0.get(), 0, 7);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(ScalerPoolManager_freeScalerForWindow(pool, head0.get(), 0, 9, category), 0);
    EXPECT_NE(TestLog::instance().since(mark).find("Received window ( ID= 9, head# 0) cannot be found"),
              std::string::npos);
    EXPECT_EQ(ScalerPoolManager_freeScalerForWindow(pool, head0.get(), 0, 7, category), 1);
    EXPECT_NE(TestLog::instance().since(mark).find("No scalers to free for win_id 7 on HEAD# 0"), std::string::npos);
    EXPECT_EQ(ScalerPoolManager_applyScalersForHead(nullptr, head0.get(), 0, category), 0);
    EXPECT_EQ(ScalerPoolManager_applyScalersForHead(pool, nullptr, 0, category), 0);
    EXPECT_EQ(ScalerPoolManager_applyScalersForHead(pool, head0.get(), 0, nullptr), 0);
    EXPECT_EQ(head0->inputs[0].windows[0].scalerEnable, 0u);
}

/* SD fields cost 1 of 16 units, 1080i fields 4; other sizes cost nothing. */
struct BudgetCase {
    const char *name;
    std::vector<std::pair<uint32_t, uint32_t>> windows; /* width, field lines */
    int granted;
};

class Budget : public Pools, public ::testing::WithParamInterface<BudgetCase> {};

TEST_P(Budget, Deinterlacers)
{
    const BudgetCase &c = GetParam();
    uint32_t winId = 0;
    for (auto size : c.windows)
        addInterlaced(head0.get(), winId % 9, winId, size.first, size.second, 2 * size.second), winId++;
    ScalerPoolManager_applyScalersForHead(pool, head0.get(), 0, category);
    size_t mark = TestLog::instance().mark();
    head0->classification = SRM_HEAD_APPLY_EVENT;
    checkDeinterlacerAllocation(pool, head0.get(), HEAD_APPLY_EVENT, 0, 0);
    EXPECT_EQ(deinterlacersInUse(), c.granted);
    bool refused = (int)c.windows.size() > c.granted;
    EXPECT_EQ(TestLog::instance().since(mark).find("No more de-interlacer bandwidth ... over request") !=
                  std::string::npos,
              refused);
}

const std::pair<uint32_t, uint32_t> SD = {720, 288}, SD60 = {720, 242}, HD = {1920, 540}, OTHER = {1280, 360};

INSTANTIATE_TEST_SUITE_P(Pools, Budget,
                         ::testing::Values(BudgetCase{"NineSd", {SD, SD60, SD, SD, SD, SD, SD, SD, SD}, 9},
                                           BudgetCase{"FourHdThenSd", {HD, HD, HD, HD, SD}, 4},
                                           BudgetCase{"FourHdThenHd", {HD, HD, HD, HD, HD}, 4},
                                           BudgetCase{"ThreeHdFourSdThenSd", {HD, HD, HD, SD, SD, SD, SD, SD}, 7},
                                           BudgetCase{"OtherSizesAreFree", {HD, HD, HD, HD, OTHER, OTHER}, 6}),
                         [](const ::testing::TestParamInfo<BudgetCase> &info) { return info.param.name; });

TEST_F(Pools, OnlyInterlacedWindowsShownAtTwiceTheFieldGetOne)
{
    addInterlaced(head0.get(), 0, 1, 1920, 540, 1079);  /* shown smaller than two fields */
    windowInfo_t &progressive = add(head0.get(), 1, 2);
    progressive.sizeIn = 1920;
    progressive.vSizeIn = 1080;
    progressive.videoOutVDimension = 2160;
    addInterlaced(head0.get(), 2, 3, 720, 288, 576);
    ScalerPoolManager_applyScalersForHead(pool, head0.get(), 0, category);
    checkDeinterlacerAllocation(pool, head0.get(), INPUT_CHANGE_EVENT, 0, 0);
    EXPECT_EQ(head0->inputs[0].windows[0].deinterlacerEnable, 0u);
    EXPECT_EQ(head0->inputs[1].windows[0].deinterlacerEnable, 0u);
    EXPECT_EQ(head0->inputs[2].windows[0].deinterlacerEnable, 1u);
    EXPECT_EQ(pool[2].deinterlacer_enable, 1u);
    EXPECT_EQ(layoutManagerDpmEntry(2)->format, 0);
    EXPECT_EQ(deinterlacersInUse(), 1);
}

/* A head apply that leaves the head without scaler-holding windows frees its deinterlacers only when classified 18. */
TEST_F(Pools, EmptyHeadApplyFreesByClassification)
{
    for (uint32_t classification : {(uint32_t)SRM_SOURCE_CHANGE_EVENT, (uint32_t)SRM_HEAD_APPLY_EVENT}) {
        SCOPED_TRACE(classification);
        head0->inputs[0].inputWindowQty = 0;
        addInterlaced(head0.get(), 0, 1, 1920, 540, 1080);
        ScalerPoolManager_applyScalersForHead(pool, head0.get(), 0, category);
        checkDeinterlacerAllocation(pool, head0.get(), HEAD_APPLY_EVENT, 0, 0);
        ASSERT_EQ(deinterlacersInUse(), 1);
        ScalerPoolManager_freeScalerForWindow(pool, head0.get(), 0, 1, category);
        head0->classification = classification;
        checkDeinterlacerAllocation(pool, head0.get(), HEAD_APPLY_EVENT, 0, 0);
        EXPECT_EQ(deinterlacersInUse(), classification == SRM_HEAD_APPLY_EVENT ? 0 : 1);
        DPM_freeDeinterlacersOfHead(0);
    }
}

TEST_F(Pools, ReleaseByWindow)
{
    addInterlaced(head0.get(), 0, 4, 720, 242, 484);
    ScalerPoolManager_applyScalersForHead(pool, head0.get(), 0, category);
    checkDeinterlacerAllocation(pool, head0.get(), INPUT_CHANGE_EVENT, 0, 0);
    ASSERT_EQ(deinterlacersInUse(), 1);

    /* Another head's release does not touch it; an unknown window is logged and nothing changes. */
    size_t mark = TestLog::instance().mark();
    deallocateDeinterlacerByWinId(pool, head0.get(), 1, 4);
    EXPECT_EQ(deinterlacersInUse(), 1);
    EXPECT_NE(TestLog::instance().since(mark).find("headIds (0 vs 1) do not match"), std::string::npos);
    deallocateDeinterlacerByWinId(pool, head0.get(), 0, 33);
    EXPECT_NE(TestLog::instance().since(mark).find("winId 33 not found to de-allocate"), std::string::npos);
    EXPECT_EQ(deinterlacersInUse(), 1);

    deallocateDeinterlacerByWinId(pool, head0.get(), 0, 4);
    EXPECT_EQ(deinterlacersInUse(), 0);
    EXPECT_EQ(pool[0].deinterlacer_enable, 0u);
    EXPECT_EQ(head0->inputs[0].windows[0].deinterlacerEnable, 0u);
}

} // namespace
