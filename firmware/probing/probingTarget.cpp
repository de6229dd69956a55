#include "probing/probing.h"

#include "probing/discovery.h"

#include "interruptController/interruptController.h"

#include <cstring>

/*
 * The probing target's cycle end, the post-read of the table's last row:
 * checks that both FPGAs still answer with their ids, then runs the
 * registered per-cycle steps (the genlock target) with ok = not deprogrammed.
 */

enum { PROBING_TARGET_STEPS = 4, PROBING_TARGET_ERROR = 4 };

namespace {

struct fpgaCheck_t {
    const char *name;
    const uint16_t *id;
    uint32_t deprogrammed;
};

struct {
    log4c_category_t *category;
    void *sharedMemory;
    probingTargetStep_t steps[PROBING_TARGET_STEPS];
    uint32_t stepCount;
    fpgaCheck_t fpgas[2];
    probingFpgaDataChangeCallback_t changeCallbacks[PROBING_CHANGE_CALLBACKS];
    uint8_t changeCallbackCount;
    probingBridgeInChange_t bridgeIn;
    struct {
        uint32_t up, down;
    } heads[PROBING_BRIDGE_IN_HEADS];
    uint32_t bridgeInLogCount;
} target = {nullptr, nullptr, {nullptr}, 0,
            {{"DPS", probingRawWords.dpsFpgaId, 0}, {"FSM", probingRawWords.fsmFpgaId, 0}}, {nullptr}, 0, {}, {}, 0};

log4c_category_t *category();

enum { BRIDGE_IN_FORMAT_OFFSET = 964, BRIDGE_IN_LOG_LIMIT = 99, NOT_READ = 0xFFFF };

uint16_t rawWord(const uint16_t *words, uint32_t index)
{
    const uint8_t *b = (const uint8_t *)&words[index];
    return (uint16_t)(b[0] << 8 | b[1]);
}

uint16_t systemFormat(uint16_t code)
{
    static const uint16_t table[][2] = {{12, 22}, {15, 34}, {24, 23}, {26, 35}, {47, 38}, {63, 39}};
    for (const auto &entry : table)
        if (entry[0] == code)
            return entry[1];
    return 0;
}

void notifyChange(void)
{
    for (uint8_t i = 0; i < target.changeCallbackCount; i++)
        target.changeCallbacks[i](&target.bridgeIn);
}

/* Bridge-in: the heads' formats into the block, debounced validity, callbacks on a change. */
void processBridgeIn(void)
{
    uint16_t *raw = probingRawWords.bridgeIn;
    if (raw[1] == NOT_READ || raw[17] == NOT_READ) {
        if (target.bridgeInLogCount <= BRIDGE_IN_LOG_LIMIT)
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                               "BridgeIn: BridgeInvalues were not read properly!!! Ignoring read. (log count %d)",
                               (int)target.bridgeInLogCount++);
        return;
    }
    uint8_t *block = (uint8_t *)target.sharedMemory + PROBING_BLOCK_SIZE * platformGetCardSlotIndex();
    int changed = 0;
    for (uint32_t h = 0; h < PROBING_BRIDGE_IN_HEADS; h++) {
        uint16_t decoder = rawWord(raw, 12 + h);
        target.bridgeIn.decoder[h] = decoder;
        uint16_t code = (decoder >> 3) & 0x3F;
        uint32_t validFlag = (decoder >> 9) & 1;
        uint16_t format = validFlag ? (uint16_t)(0x0100 | systemFormat(code)) : 0;
        block[BRIDGE_IN_FORMAT_OFFSET + 2 * h] = (uint8_t)(format >> 8);
        block[BRIDGE_IN_FORMAT_OFFSET + 2 * h + 1] = (uint8_t)format;
        uint32_t validSample = validFlag && systemFormat(code) != 0;
        uint32_t valid = target.bridgeIn.valid[h];
        if (validSample) {
            target.heads[h].down = 0;
            if (target.heads[h].up > 3)
                valid = 1;
            else
                target.heads[h].up++;
        } else {
            target.heads[h].up = 0;
            valid = 0;
        }
        if (valid != target.bridgeIn.valid[h]) {
            target.bridgeIn.valid[h] = valid;
            changed = 1;
            log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "SDI-OUT: BridgeIn head %d changed. BridgeIn valid = %d",
                               (int)h, (int)valid);
        }
    }
    if (changed) {
        log4c_category_log(category(), LOG4C_PRIORITY_NOTICE,
                           "BridgeIn: notifyOthersOfBridgeInChange. brdigeInDecoder Head A 0x%04x, brdigeInDecoder "
                           "Head B 0x%04x, brdigeInDecoder Head C 0x%04x, brdigeInDecoder Head D 0x%04x",
                           target.bridgeIn.decoder[0], target.bridgeIn.decoder[1], target.bridgeIn.decoder[2],
                           target.bridgeIn.decoder[3]);
        notifyChange();
    }
}

log4c_category_t *category()
{
    if (!target.category)
        target.category = log4c_category_get("ulm.firmware.probingSrvc");
    return target.category;
}

void checkDeprogrammed(fpgaCheck_t &fpga)
{
    uint16_t id = fpga.id[0];
    if (id == 0x0000 || id == 0xFFFF) {
        if (!fpga.deprogrammed) {
            fpga.deprogrammed = 1;
            log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "Error: FPGA %s seems deprogrammed! fpga id read 0x%04x",
                               fpga.name, id);
        }
    } else if (fpga.deprogrammed) {
        fpga.deprogrammed = 0;
        log4c_category_log(category(), LOG4C_PRIORITY_NOTICE, "FPGA %s is ok now.", fpga.name);
    }
}

} // namespace

int probingTargetRegisterStep(probingTargetStep_t step)
{
    if (!step || target.stepCount >= PROBING_TARGET_STEPS) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "%s failed, Bad arguments!", __func__);
        return 0;
    }
    for (uint32_t i = 0; i < target.stepCount; i++)
        if (target.steps[i] == step)
            return 1;
    target.steps[target.stepCount++] = step;
    return 1;
}

int registerFpgaProbeDataChangeCallBck(probingFpgaDataChangeCallback_t callback)
{
    if (!callback) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "registerFpgaProbeDataChangeCallBck failed, Bad arguments!");
        return 0;
    }
    if (target.changeCallbackCount >= PROBING_CHANGE_CALLBACKS) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "Failed to register with probe format changer call-back service because Max notification "
                           "obtained!");
        return 0;
    }
    target.changeCallbacks[target.changeCallbackCount++] = callback;
    return 1;
}

int probingTargetInit(void *sharedMemory, log4c_category_t *cat)
{
    target.category = cat;
    probingFillOwnedRows((uint8_t *)sharedMemory);
    if (!sharedMemory) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR, "Error Shared Memory not initialized.\n");
        return PROBING_TARGET_ERROR;
    }
    target.sharedMemory = sharedMemory;
    videoProbeReset(sharedMemory, cat);
    target.changeCallbackCount = 0;
    target.bridgeIn = probingBridgeInChange_t();
    memset(target.heads, 0, sizeof target.heads);
    target.bridgeInLogCount = 0;
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "Initializing Probing Target.");
    discoveryInit(cat, sharedMemory);
    return 0;
}

void *probingTargetSharedMemory(void)
{
    return target.sharedMemory;
}

uint32_t probingTargetFpgaDeprogrammed(void)
{
    return target.fpgas[0].deprogrammed || target.fpgas[1].deprogrammed;
}

void probingTargetCycleEnd(probingAction *action)
{
    (void)action;
    log4c_category_log(category(), LOG4C_PRIORITY_DEBUG, "All Spi Access Done CALLBACK FUNCTION!!!");
    if (probingControlFlags.mergerHalted)
        return;
    for (fpgaCheck_t &fpga : target.fpgas)
        checkDeprogrammed(fpga);
    if (target.fpgas[1].deprogrammed)
        interruptControllerClearVsyncPending();
    uint32_t ok = !probingTargetFpgaDeprogrammed();
    for (uint32_t i = 0; i < target.stepCount; i++)
        target.steps[i](ok);
    videoProbeStatusChanged(ok);
    processDiscoveryInfo(category(), ok);
    if (ok && target.sharedMemory)
        processBridgeIn();
    probingRawWords.bridgeIn[1] = NOT_READ;
    probingRawWords.bridgeIn[17] = NOT_READ;
}
