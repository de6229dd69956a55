#ifndef KVR_TESTS_PROBINGTARGETSUPPORT_H
#define KVR_TESTS_PROBINGTARGETSUPPORT_H

/*
 * A card on the emulator whose shared memory is the QVS link's own (stub
 * mode), so that words written through the link and words the frame
 * controller's answers read are the ones the tests look at; the probing
 * target initialised for a chosen slot and card type, and frames delivered
 * by the test two Vsyncs at a time (one cycle end each).
 */

#include "probing/probing.h"

#include "cardsim/cardsim.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"
#include "strata/strata.h"

#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

#include "../main/EmulatedCard.h"
#include "../main/FirmwareTestSupport.h"

namespace probingTest {

inline log4c_category_t *category()
{
    return log4c_category_get("ulm.firmware.probingSrvc");
}

/* Card hardware types: 1 takes SDI/MADI inputs, 0 NqAsi inputs. */
enum { SDI_CARD = 1, NQASI_CARD = 0 };

class TargetFixture : public ::testing::Test {
protected:
    void startCard(uint32_t slot, uint32_t cardHwType)
    {
        firmwareTest::TestLog::instance();
        initQvsInterface(QVS_MODE_STUB, nullptr);
        shm = (uint8_t *)qvsInterfaceGetSharedMemory(nullptr, nullptr);
        ASSERT_NE(shm, nullptr);
        firmwareTest::startEmulatedCard(root, category(), shm, CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT);
        platformRecord.rearSlot = slot;
        platformRecord.cardHwType = cardHwType;
        platformRecord.rearHwType = 0;
        cardsimFpgaSet(CARDSIM_DPS, 0, 0x1234);
        cardsimFpgaSet(CARDSIM_FSM, 0, 0x5678);
        strataSetCommState(0);
        ASSERT_EQ(probingTargetInit(shm, category()), 0);
        probingResetActions(category());
        vsync = 0;
    }
    void TearDown() override
    {
        strataSetCommState(0);
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    /* Runs `count` cycles of two Vsyncs; the cycle end runs on the first of each pair. */
    void cycles(uint32_t count)
    {
        for (uint32_t i = 0; i < 2 * count; i++)
            probingRunVsync(++vsync);
    }
    uint8_t *block() { return shm + CARD_STATUS_BLOCK_SIZE * platformRecord.rearSlot; }
    uint16_t word(uint32_t byteOffset) { return (uint16_t)(block()[byteOffset] << 8 | block()[byteOffset + 1]); }
    void setWord(uint32_t byteOffset, uint16_t value)
    {
        block()[byteOffset] = (uint8_t)(value >> 8);
        block()[byteOffset + 1] = (uint8_t)value;
    }
    /* FSM or DPS writes of one register, in order. */
    static std::vector<uint16_t> writesOf(int fpga, uint32_t address)
    {
        std::vector<uint16_t> values;
        for (const cardsimFpgaWrite_t &w : cardsimFpgaWrites(fpga))
            if (w.address == address)
                values.push_back(w.value);
        return values;
    }
    TempDir root;
    uint8_t *shm = nullptr;
    uint32_t vsync = 0;
};

/* Opcodes of the frame-controller messages queued in a stretch of the log, in order. */
inline std::vector<uint16_t> queuedOpcodes(const std::string &log)
{
    static const std::regex queued("put strata message: type:[0-9]+, destination:[0-9]+ \\(0x[0-9a-f]+\\), "
                                   "opcode:0x([0-9a-f]{4})");
    std::vector<uint16_t> opcodes;
    for (std::sregex_iterator it(log.begin(), log.end(), queued), end; it != end; ++it)
        opcodes.push_back((uint16_t)std::stoul((*it)[1].str(), nullptr, 16));
    return opcodes;
}

inline size_t countIn(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

} // namespace probingTest

#endif
