#ifndef KVR_TESTS_OUTPUTSTAGETESTSUPPORT_H
#define KVR_TESTS_OUTPUTSTAGETESTSUPPORT_H

/*
 * The output stage (SDI outputs, audio monitoring, graphic processor) on the
 * card emulator: head resolutions and attributes built as QVS sends them, the
 * card's rear slot and the system frame rate set by the test.
 */

#include "ScalerTestSupport.h"

#include "layoutManager/outputStagePrivate.h"
#include "strata/strata.h"

namespace layoutTest {

struct Resolution {
    uint8_t rotation;
    uint16_t frameRate;
    uint32_t pixelClock;
    uint16_t hActive, vActive, hMax, vMax;
    uint8_t sdiRes;
    uint16_t hOffset = 0;
};

const Resolution R1080P_5994 = {0, 5994, 148351648, 1920, 1080, 2200, 1125, 2};
const Resolution R1080I_5994 = {0, 5994, 148351648, 1920, 1080, 2200, 1125, 1};
const Resolution R1080P_5000 = {0, 5000, 148500000, 1920, 1080, 2640, 1125, 2};
const Resolution R1080I_5000 = {0, 5000, 148500000, 1920, 1080, 2640, 1125, 1};
const Resolution R720P_5994 = {0, 5994, 74175824, 1280, 720, 1650, 750, 0};
const Resolution R720P_5994_WRONG_CLOCK = {0, 5994, 74250000, 1280, 720, 1650, 750, 0};

inline Resolution rotated(Resolution r, uint8_t rotation)
{
    r.rotation = rotation;
    return r;
}

/* SET_HEAD_RESOLUTION (class 20 id 2). */
inline std::vector<uint8_t> headResolutionOf(int head, const Resolution &r)
{
    std::vector<uint8_t> d = headAddress(head);
    d.push_back(r.rotation);
    put16(d, r.frameRate);
    for (int shift = 24; shift >= 0; shift -= 8)
        d.push_back((uint8_t)(r.pixelClock >> shift));
    for (uint16_t v : {r.hActive, r.vActive, r.hMax, r.vMax})
        put16(d, v);
    d.push_back(r.sdiRes);
    d.push_back(0);
    put16(d, r.hOffset);
    put16(d, 0);
    d.push_back(0);
    return pcode(20, 2, d);
}

struct Attributes {
    uint8_t vidEn = 1, gfxEn = 0, antiFlicker = 0, colourBars = 0, processingDelay = 0;
};

/* SET_HEAD_ATTRIBUTES (class 20 id 8): 30 one-byte fields. */
inline std::vector<uint8_t> headAttributesOf(int head, const Attributes &a)
{
    std::vector<uint8_t> d = headAddress(head);
    std::vector<uint8_t> fields(30, 0);
    fields[0] = a.vidEn;
    fields[2] = a.gfxEn;
    fields[24] = a.antiFlicker;
    fields[26] = a.colourBars;
    fields[29] = a.processingDelay;
    d.insert(d.end(), fields.begin(), fields.end());
    return pcode(20, 8, d);
}

/* SET_AUDIO_MONITORING_SOURCE (class 10 id 11). */
inline std::vector<uint8_t> audioSourceOf(int head, uint8_t source, uint8_t qviSlot, uint8_t input, uint8_t aes)
{
    std::vector<uint8_t> d = headAddress(head);
    for (uint8_t v : {source, qviSlot, input, aes, (uint8_t)0, (uint8_t)0, (uint8_t)0})
        d.push_back(v);
    d.resize(12, 0);
    return pcode(10, 11, d);
}

/* The FSM writes inside [first, last] and at the listed single addresses, in order. */
inline std::vector<Write> fsmWritesAt(const std::vector<std::pair<uint32_t, uint32_t>> &ranges)
{
    std::vector<Write> out;
    for (const Write &w : writesOf(FSM))
        for (auto range : ranges)
            if (w.address >= range.first && w.address <= range.second) {
                out.push_back(w);
                break;
            }
    return out;
}

class OutputFixture : public ScalerFixture {
protected:
    void SetUp() override
    {
        ScalerFixture::SetUp();
        layoutManagerSetSystemFrameRateReader([] { return genlockRate(); });
        setSystemFrameRate(SYSTEM_FRAME_RATE_5994);
        targetSet4kMode(0);
    }
    void TearDown() override
    {
        layoutManagerSetSystemFrameRateReader(nullptr);
        ScalerFixture::TearDown();
    }
    /* What genlock announced last (the reader main lends the layout manager on the card). */
    static uint32_t &genlockRate()
    {
        static uint32_t rate;
        return rate;
    }
    static void setSystemFrameRate(uint32_t rate) { genlockRate() = rate; }
    /* The card's rear slot index (heads 0 and 1 stay the card's QVS video slot 4). */
    static void cardInSlot(uint32_t slot) { platformRecord.rearSlot = slot; }
    /* Every sub-module's init and FORCE_LAYOUT_EVENT, as the layout manager's pre-start runs them. */
    void restart()
    {
        cardsimClearLogs();
        layoutManagerService.preStart(&layoutManagerService);
        drain();
    }
    /*
     * Stores a head's resolution in the layout data as it stands (the pcode
     * decoder turns every timing but the two 1080 ones into 1080p, so 720p
     * reaches a head only this way, from a saved layout or a device write).
     */
    static void storeResolution(int head, const Resolution &r)
    {
        headResolution_t &out = layoutGetPrivateData()->heads[head].resolution;
        out.rotation = r.rotation;
        out.frameRate = r.frameRate;
        out.pixelClock = r.pixelClock;
        out.hActivePixels = r.hActive;
        out.vActivePixels = r.vActive;
        out.hMax = r.hMax;
        out.vMax = r.vMax;
        out.sdiRes = r.sdiRes;
        out.hOffset = r.hOffset;
    }
    static uint16_t fsm(uint32_t address) { return cardsimFpgaGet(FSM, address); }
};

} // namespace layoutTest

#endif
