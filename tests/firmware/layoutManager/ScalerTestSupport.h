#ifndef KVR_TESTS_SCALERTESTSUPPORT_H
#define KVR_TESTS_SCALERTESTSUPPORT_H

/*
 * A layout manager on the card emulator: the card sits in rear slot index 0
 * (QVS video slot 4), the FPGA writes go through the device manager to the
 * emulator's register files. Layout pcodes and input records are built here.
 */

#include "LayoutTestSupport.h"

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "layoutManager/sysResMngtPrivate.h"
#include "platform/platformPrivate.h"

namespace layoutTest {

enum { OWN_SLOT = 4, OTHER_SLOT = 7, FSM = CARDSIM_FSM, DPS = CARDSIM_DPS };

inline void put16(std::vector<uint8_t> &d, uint32_t v)
{
    d.push_back((uint8_t)(v >> 8));
    d.push_back((uint8_t)v);
}

/* The (dstSlotId, headId) that addresses managed head 0-3 of a card in slot index 0. */
inline std::vector<uint8_t> headAddress(int head)
{
    return {(uint8_t)(head < 2 ? 4 : 5), (uint8_t)(head % 2)};
}

/* SET_HEAD_RESOLUTION of the 1080p59.94 timing with a rotation. */
inline std::vector<uint8_t> headResolution(int head, uint8_t rotation = 0)
{
    std::vector<uint8_t> d = headAddress(head);
    d.push_back(rotation);
    put16(d, 5994);
    for (uint8_t b : {0x08, 0xd7, 0xaa, 0xa0})
        d.push_back(b);
    put16(d, 1920);
    put16(d, 1080);
    put16(d, 2200);
    put16(d, 1125);
    d.push_back(2);
    d.push_back(0);
    put16(d, 0);
    put16(d, 0);
    d.push_back(0);
    return pcode(20, 2, d);
}

struct WindowPlacement {
    int winId;
    int sourceSlot;
    int input;
    int width, height, x, y;
    int fullWidth, fullHeight;
    int cropStart = 0, cropEnd = 0, vCropStart = 0, vCropEnd = 0;
};

inline std::vector<uint8_t> windowLayout(int head, const WindowPlacement &w)
{
    std::vector<uint8_t> d = headAddress(head);
    d.push_back((uint8_t)w.winId);
    d.push_back((uint8_t)w.sourceSlot);
    d.push_back((uint8_t)w.input);
    put16(d, w.width);
    put16(d, w.height);
    put16(d, w.x);
    put16(d, w.y);
    d.push_back(0);
    put16(d, 0);
    for (int i = 0; i < 4 + 2 + 4; i++)
        put16(d, 0); /* crops, sandbox and widget words */
    d.push_back(0);
    put16(d, w.fullWidth);
    put16(d, w.fullHeight);
    put16(d, w.cropStart);
    put16(d, w.cropEnd);
    put16(d, w.vCropStart);
    put16(d, w.vCropEnd);
    d.resize(52, 0);
    return pcode(20, 3, d);
}

inline std::vector<uint8_t> windowAttributes(int head, int winId, int killChroma, int detailEnhancer, int hideAtLost)
{
    std::vector<uint8_t> d = headAddress(head);
    for (int v : {winId, 0, killChroma, detailEnhancer, 0, 0, hideAtLost})
        d.push_back((uint8_t)v);
    d.resize(12, 0);
    return pcode(20, 7, d);
}

inline std::vector<uint8_t> applyLayout(int head, int windows)
{
    std::vector<uint8_t> d = headAddress(head);
    d.push_back((uint8_t)windows);
    d.push_back(0);
    return pcode(20, 0, d);
}

/* A locked input: format code, active width, active lines per field or frame, 1 progressive / 0 interlaced. */
inline videoInputRecord lockedInput(uint32_t input, uint32_t format, uint32_t width, uint32_t lines, uint32_t scanning)
{
    videoInputRecord r = {};
    r.inputIndex = input;
    r.videoTypeInfo = format;
    r.carrierDetect = 1;
    r.scanningFormat = scanning;
    r.samplesPerActiveLines = width;
    r.activeLinesPerFrame = lines;
    return r;
}

/* One register write as a test expects it. */
struct Write {
    uint32_t address;
    uint16_t value;
    bool operator==(const Write &o) const { return address == o.address && value == o.value; }
};

inline std::ostream &operator<<(std::ostream &out, const Write &w)
{
    return out << "{" << w.address << ", " << w.value << "}";
}

/*
 * The registers of the 3D-LUT instances (their remapper, blocks, keyholes,
 * controls, VPID and input settings), which the HDR sub-module writes beside
 * the scaler's on every head apply.
 */
inline bool isHdrLutRegister(int fpga, uint32_t address)
{
    if (fpga == DPS)
        return (address >= 0x1E00 && address < 0x1E30) || (address >= 0x2000 && address < 0x24A4);
    return address >= 0x18040 && address < 0x18110;
}

/* The writes of an FPGA within [first, last], the 3D-LUT registers left out. */
inline std::vector<Write> writesOf(int fpga, uint32_t first = 0, uint32_t last = 0xFFFFFFFF)
{
    std::vector<Write> out;
    for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(fpga))
        if (w.address >= first && w.address <= last && !isHdrLutRegister(fpga, w.address))
            out.push_back({w.address, w.value});
    return out;
}

/*
 * Registers of the output stage (SDI outputs, audio monitoring, graphics
 * mixer and writer/reader), which every applied resolution programs too.
 */
inline bool outputStageRegister(uint32_t address)
{
    return (address >= 0x880 && address < 0x900) || (address >= 0x8D00 && address < 0x8E00) ||
           (address >= 0x1500 && address < 0x1520) || (address >= 0x18020 && address < 0x18040) ||
           address == 0xCC1 || address == 0xCD2 || address == 0xCC4 || address == 0xCD6;
}

/* The writes of an FPGA without the output stage's. */
inline std::vector<Write> layoutWritesOf(int fpga)
{
    std::vector<Write> out;
    for (const Write &w : writesOf(fpga))
        if (!outputStageRegister(w.address))
            out.push_back(w);
    return out;
}

class ScalerFixture : public LayoutFixture {
protected:
    void SetUp() override
    {
        platformResetState();
        platformConfig.qvsVideoSlotId = OWN_SLOT;
        platformRecord.rearSlot = 0;
        platformRecord.rearHwType = 0;
        LayoutFixture::SetUp();
        cardsimStart();
        deviceManagerInit(nullptr);
        drain();
        cardsimClearLogs();
    }
    void TearDown() override
    {
        LayoutFixture::TearDown();
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
    }
    void input(const videoInputRecord &r)
    {
        layoutVideoInputChangeHandler(&r);
        drain();
    }
    void send(const std::vector<uint8_t> &p)
    {
        post(p);
        drain();
    }
};

} // namespace layoutTest

#endif
