#include "cardsim/cardsim.h"

#include <cmath>

/*
 * The loudness probes: FSM-FPGA leaves one 16-bit level per probe and block
 * in the bank of the input's stream setting (bank 0 at 0x4600, ready word
 * 0x4684; bank 1 0x2000 higher). The level is the RMS amplitude of the block
 * on a 16-bit full scale of 65,536.
 */

namespace {
enum { BANK_STRIDE = 0x2000, LEVELS = 0x4600, READY = 0x4684 };
}

void cardsimLoudnessSetBank(int bank, uint16_t ready, uint16_t level)
{
    uint32_t offset = BANK_STRIDE * (uint32_t)bank;
    for (uint32_t n = 0; n < CARDSIM_LOUDNESS_PROBES; n++)
        cardsimFpgaSet(CARDSIM_FSM, LEVELS + offset + n, level);
    cardsimFpgaSet(CARDSIM_FSM, READY + offset, ready);
}

uint16_t cardsimLoudnessLevel(double dbFs)
{
    double amplitude = 65536.0 * std::pow(10.0, dbFs / 20.0);
    return amplitude >= 65535.0 ? 65535 : (uint16_t)std::lround(amplitude);
}
