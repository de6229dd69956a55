#include "cardsim/cardsimPrivate.h"

/*
 * The scaler blocks of DPS-FPGA: each block's bandwidth register (+16)
 * answers the pixels the block can read per line plus 16. The registers the
 * scaler sub-module writes are kept by the register file like any other.
 */

enum { SCALER_BLOCK = 6144, SCALER_BLOCK_SIZE = 64, SCALER_BANDWIDTH = 16, SCALER_BLOCKS = 9 };

void cardsimScalerSetBandwidth(int scaler, uint16_t pixels)
{
    if (scaler < 0 || scaler >= SCALER_BLOCKS)
        return;
    cardsimFpgaSet(CARDSIM_DPS, SCALER_BLOCK + SCALER_BLOCK_SIZE * (uint32_t)scaler + SCALER_BANDWIDTH,
                   (uint16_t)(pixels + 16));
}

uint16_t cardsimScalerBandwidthRegister(int scaler)
{
    return cardsimFpgaGet(CARDSIM_DPS, SCALER_BLOCK + SCALER_BLOCK_SIZE * (uint32_t)scaler + SCALER_BANDWIDTH);
}

void cardsimScalerReset(void)
{
    for (int s = 0; s < SCALER_BLOCKS; s++)
        cardsimScalerSetBandwidth(s, CARDSIM_SCALER_DEFAULT_BANDWIDTH);
}
