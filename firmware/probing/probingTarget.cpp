#include "probing/probing.h"

#include "interruptController/interruptController.h"

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
} target = {nullptr, nullptr, {nullptr}, 0,
            {{"DPS", probingRawWords.dpsFpgaId, 0}, {"FSM", probingRawWords.fsmFpgaId, 0}}};

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
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "Initializing Probing Target.");
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
}
