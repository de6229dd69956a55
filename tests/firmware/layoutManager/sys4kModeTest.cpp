/*
 * 4k rotation mode: decided only once all four heads were latched; every
 * change of the decision posts SYS_4K_MODE_ROTATION_CHANGED_EVENT.
 */

#include "LayoutTestSupport.h"

using namespace layoutTest;

namespace {

enum { R0 = 0, R90 = 1, R180 = 2, P1080 = 2, I1080 = 1 };

class Sys4kMode : public LayoutFixture {
protected:
    void SetUp() override
    {
        LayoutFixture::SetUp();
        /* Start from instances that have seen nothing (pre-start latched all four heads). */
        for (uint32_t h = 0; h < 4; h++)
            sys4kModeSubmodule.init(instance(h), &event, nullptr);
    }
    static deviceSubmoduleInstance *instance(uint32_t h) { return findInstance(&sys4kModeSubmodule, h); }

    void setResolution(uint32_t h, uint32_t rotation, uint32_t sdiRes)
    {
        records[h] = headLayoutRecord();
        records[h].resolution.rotation = rotation;
        records[h].resolution.sdiRes = sdiRes;
    }
    void force(uint32_t h, uint32_t rotation, uint32_t sdiRes)
    {
        setResolution(h, rotation, sdiRes);
        call(h, FORCE_LAYOUT_EVENT, nullptr);
    }
    /* A new resolution, then (optionally) the apply that latches it. */
    void resolve(uint32_t h, uint32_t rotation, uint32_t sdiRes, bool apply)
    {
        setResolution(h, rotation, sdiRes);
        call(h, HEAD_RESOLUTION_EVENT, &records[h].resolution);
        if (apply)
            call(h, HEAD_APPLY_EVENT, &records[h].resolution);
    }
    void call(uint32_t h, uint32_t headEvent, const void *data)
    {
        event = layoutEventInfo();
        event.headEvent = headEvent;
        event.head = h;
        event.headRecord = &records[h];
        sys4kModeSubmodule.process(instance(h), &event, data);
    }
    uint32_t mode()
    {
        uint32_t m = 99;
        targetGet4kMode(&m);
        return m;
    }
    /* The 4k events queued since the last call, as their mode words. */
    std::vector<uint32_t> postedModes()
    {
        std::vector<uint32_t> modes;
        while (layoutManagerQueuedCount() > 0) {
            layoutManagerServeNext(0);
            layoutEventInfo *served = &layoutManagerGetInstance()->event;
            EXPECT_EQ(served->target, SYS_4K_MODE_ROTATION_CHANGED_EVENT);
            uint32_t m;
            memcpy(&m, served->eventData, 4);
            modes.push_back(m);
        }
        return modes;
    }

    headLayoutRecord records[4];
    layoutEventInfo event = layoutEventInfo();
};

TEST_F(Sys4kMode, NoDecisionUntilAllFourHeadsWereForced)
{
    for (uint32_t h = 0; h < 3; h++)
        force(h, R90, P1080);
    EXPECT_EQ(mode(), 0u);
    EXPECT_TRUE(postedModes().empty());
    force(3, R90, P1080);
    EXPECT_EQ(mode(), 1u);
    EXPECT_EQ(postedModes(), std::vector<uint32_t>({1}));
    EXPECT_TRUE(log().contains("sys4kMode: checkIfWegotInto4KRotationMode detected a 4kMode change! We are in 4k Rotation "
                               "Mode. allHeadsAre1080p 1, allHeadsAre90DegRotation 1, allHeadsAre180DegRotation 0. "
                               "Triggering a SYS_4K_MODE_ROTATION_CHANGED_EVENT."));
    EXPECT_TRUE(log().contains("sys4kMode: FORCE_LAYOUT_EVENT on Head 3. Latched Rotation 1, SDI Resolution 2 (0=720p, "
                               "1=1080i, 2=1080p). "));
}

TEST_F(Sys4kMode, DecisionTable)
{
    struct Case {
        const char *name;
        uint32_t rotation[4], sdiRes[4];
        uint32_t mode;
    } cases[] = {
        {"All90At1080p", {R90, R90, R90, R90}, {P1080, P1080, P1080, P1080}, 1},
        {"All180At1080p", {R180, R180, R180, R180}, {P1080, P1080, P1080, P1080}, 1},
        {"MixedRotation", {R90, R90, R90, R180}, {P1080, P1080, P1080, P1080}, 0},
        {"OneInterlaced", {R90, R90, R90, R90}, {P1080, I1080, P1080, P1080}, 0},
        {"NotRotated", {R0, R0, R0, R0}, {P1080, P1080, P1080, P1080}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (uint32_t h = 0; h < 4; h++)
            force(h, c.rotation[h], c.sdiRes[h]);
        EXPECT_EQ(mode(), c.mode);
        /* Only a change from the starting mode 0 is announced. */
        EXPECT_EQ(postedModes(), c.mode ? std::vector<uint32_t>({1}) : std::vector<uint32_t>());
        targetSet4kMode(0);
    }
}

TEST_F(Sys4kMode, AResolutionCountsOnlyOnceApplied)
{
    for (uint32_t h = 0; h < 4; h++)
        force(h, R90, P1080);
    ASSERT_EQ(postedModes(), std::vector<uint32_t>({1}));

    resolve(3, R0, P1080, false);
    EXPECT_EQ(mode(), 1u);
    EXPECT_TRUE(postedModes().empty());
    /* An apply without a pending resolution changes nothing either. */
    call(2, HEAD_APPLY_EVENT, &records[2].resolution);
    EXPECT_TRUE(postedModes().empty());

    size_t mark = log().mark();
    call(3, HEAD_APPLY_EVENT, &records[3].resolution);
    EXPECT_EQ(mode(), 0u);
    EXPECT_EQ(postedModes(), std::vector<uint32_t>({0}));
    EXPECT_NE(log().since(mark).find("We are NOT in 4k Rotation Mode. allHeadsAre1080p 1, allHeadsAre90DegRotation 0"),
              std::string::npos);
    EXPECT_NE(log().since(mark).find("sys4kMode: HEAD_APPLY_EVENT on Head 3. Latched Rotation 0"), std::string::npos);

    /* Back to 90 degrees through the layout pcodes themselves. */
    std::vector<uint8_t> resolution = pcode(20, 2, {5, 1, R90, 0x17, 0x6a, 0x08, 0xd7, 0xaa, 0xa0, 0x07, 0x80, 0x04,
                                                    0x38, 0x08, 0x98, 0x04, 0x65, P1080, 0, 0, 0, 0, 0, 0});
    post(resolution);
    post(pcode(20, 0, {5, 1, 1, 0}));
    drain(); /* serves both pcodes and the 4k event they cause */
    EXPECT_EQ(mode(), 1u);
}

TEST_F(Sys4kMode, HeadsOutOfRangeAreRefused)
{
    deviceSubmoduleInstance stray = {0, 0, 4, &sys4kModeState, &sys4kModeSubmodule};
    size_t mark = log().mark();
    sys4kModeSubmodule.init(&stray, &event, nullptr);
    sys4kModeSubmodule.process(&stray, &event, nullptr);
    EXPECT_NE(log().since(mark).find("sys4kMode: Error, head 4 out of bonds."), std::string::npos);
}

} // namespace
