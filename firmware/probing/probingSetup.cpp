#include "probing/probing.h"

#include "deviceManager/deviceManager.h"

#include <cstring>
#include <pthread.h>

platformProbeFlags_t probingControlFlags;
uint8_t healthMonitorCardAlarms[2];
fifoServerCardPorts_t fifoServerCardPorts = {PROBING_FIFO_CARD_COUNT, {0, 0, 0, 0, 0, 0}};
uint8_t discoveryDebugBuffer[PROBING_DISCOVERY_DEBUG_SIZE];
uint8_t localDiscoveryRecord[PROBING_LOCAL_DISCOVERY_SIZE];

static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    uint16_t word = 0;
    uint16_t written = 0;
    int everWritten = 0;
} probingControl;

/* The probe tables, audio probes and SDTI registers are programmed by the probing targets themselves. */
void probingInitFpgaProbeTables(void)
{
}

void audioProbeInit(void)
{
}

void probingInitSdtiRegisters(log4c_category_t *category)
{
    (void)category;
}

void vancMetaDataClearBuffer(log4c_category_t *category)
{
    (void)category;
    memset(localDiscoveryRecord, 0, sizeof localDiscoveryRecord);
}

void vancMetaDataInterfaceInit(log4c_category_t *category)
{
    (void)category;
}

void platformUpdateControlRegister(uint32_t kind, uint32_t value)
{
    pthread_mutex_lock(&probingControl.mutex);
    uint8_t low = (uint8_t)probingControl.word;
    uint8_t high = (uint8_t)(probingControl.word >> 8);
    switch (kind) {
    case 0: low = 1; high = 0; break;
    case 1: high |= 0x20; break;
    case 2: high &= (uint8_t)~0x20; break;
    case 3: low = (uint8_t)((low & ~0x3E) | 0x01 | (value & 0x3E)); break;
    case 4: high |= 0x08; break;
    case 5: high &= (uint8_t)~0x08; break;
    case 6: high = (uint8_t)((high & ~0x04) | ((value & 1) << 2)); break;
    default: break;
    }
    probingControl.word = (uint16_t)(high << 8 | low);
    if (!probingControl.everWritten || probingControl.word != probingControl.written) {
        uint8_t bytes[2] = {high, low};
        if (deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, PROBING_CONTROL_REGISTER, 0, 1, bytes) == 0) {
            probingControl.written = probingControl.word;
            probingControl.everWritten = 1;
        }
    }
    pthread_mutex_unlock(&probingControl.mutex);
}
