#ifndef KVR_TESTS_HDRTESTSUPPORT_H
#define KVR_TESTS_HDRTESTSUPPORT_H

/*
 * A layout manager with the 3D-LUT generator on the card emulator, started
 * the way the daemon starts it (emulator and device manager first, so that
 * the generator's start-up reads and writes reach the FPGAs), on an HDR
 * capable card in QVS slot 4 with the stub shared memory.
 */

#include "../layoutManager/ScalerTestSupport.h"

#include "hdrManager/hdrManagerPrivate.h"
#include "qvsInterface/qvsInterface.h"

#include <fstream>

namespace hdrTest {

using namespace layoutTest;

inline hdrInputCalibration_t inputRecord(uint8_t input, uint8_t mode, uint8_t transfer, uint8_t gamut, uint16_t nits,
                                         uint8_t range)
{
    return {4, input, mode, transfer, gamut, Y_Cb_Cr, nits, range, {0, 0, 0}};
}

inline hdrHeadCalibration_t headRecord(uint8_t slot, uint8_t head, uint8_t transfer, uint8_t gamut)
{
    return {slot, head, transfer, gamut, Y_Cb_Cr, NARROW_RANGE, 1000, 400, 203};
}

/* Reads a 16-bit big-endian word of the shared memory at a byte offset of status block `slot`. */
inline uint16_t shmWord(uint32_t byteOffset, uint32_t slot = 0)
{
    uint8_t bytes[2] = {0, 0};
    qvsInterfaceReadSharedMem((CARD_STATUS_BLOCK_SIZE * slot + byteOffset) / 2, bytes, 1);
    return (uint16_t)(bytes[0] << 8 | bytes[1]);
}

/* Every write of an FPGA within [first, last], the 3D-LUT registers included. */
inline std::vector<Write> lutWritesOf(int fpga, uint32_t first = 0, uint32_t last = 0xFFFFFFFF)
{
    std::vector<Write> out;
    for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(fpga))
        if (w.address >= first && w.address <= last)
            out.push_back({w.address, w.value});
    return out;
}

class HdrFixture : public LayoutFixture {
protected:
    void SetUp() override
    {
        log();
        platformResetState();
        platformConfig.qvsVideoSlotId = (uint8_t)ownSlot();
        platformRecord.rearSlot = ownSlot() == 5 ? 1 : 0;
        platformRecord.rearHwType = 0;
        platformRecord.cardHwType = 4;
        initQvsInterface(QVS_MODE_STUB, nullptr);
        qvsInterfaceGetSharedMemory(nullptr, nullptr);
        cardsimStart();
        deviceManagerInit(nullptr);
        LayoutFixture::SetUp();
        if (ownSlot() == 5)
            layoutManagerTargetEventApplyCardSlot(1);
        drain();
        mkdir((root + "/usr/local/q7/logs").c_str(), 0755);
    }
    void TearDown() override
    {
        LayoutFixture::TearDown();
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
    }
    virtual int ownSlot() const { return 4; }

    void target(uint32_t bit, const void *data, uint32_t size)
    {
        layoutTargetSpecificEvent(bit, data, size);
        drain();
    }
    void inputCalibration(const hdrInputCalibration_t &r) { target(HDR_INPUT_CHANGE_EVENT, &r, sizeof r); }
    void headCalibration(const hdrHeadCalibration_t &r) { target(HDR_HEAD_CHANGE_EVENT, &r, sizeof r); }
    void frameRate(uint16_t rate) { target(GENLOCK_SYSTEM_FRAME_RATE_EVENT, &rate, sizeof rate); }
    void send(const std::vector<uint8_t> &p)
    {
        post(p);
        drain();
    }
    /* Head 0 shows input `input` in one window; the scaler resource management gave it. */
    int showInput(uint32_t input, int head = 0)
    {
        videoInputRecord r = lockedInput(input, 12, 1920, 1080, 1);
        layoutVideoInputChangeHandler(&r);
        drain();
        send(headResolution(head));
        send(windowLayout(head, {(int)input, ownSlot(), (int)input, 960, 540, 0, 0, 960, 540}));
        send(applyLayout(head, 1));
        for (int s = 0; s < HDR_VIDEO_INSTANCES; s++)
            if (hdr3DLutGen.scalers[s].enable && hdr3DLutGen.scalers[s].inputNb == input)
                return s;
        return -1;
    }
    static std::string file(const std::string &path) { return firmwareTest::readFile(path); }
};

} // namespace hdrTest

#endif
