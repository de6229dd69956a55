#include "probing/probing.h"

#include "deviceManager/deviceManager.h"
#include "interruptController/interruptController.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

/*
 * The probing service: once per Vsync it runs the registered callbacks,
 * tells the QVS side on every second frame that the shared memory changed
 * and walks the action table. The last row's post-read is the probing
 * target's cycle end, so consumers run after every read of the cycle.
 */

enum { PROBING_DEBUG_EVENT = 7, PROBING_ALIVE_THREAD = 5, PROBING_HALT_POLL_S = 1 };

namespace {

struct probingCallback_t {
    void (*function)(void);
    uint32_t interval;
    uint32_t phase;
};

struct {
    log4c_category_t *category;
    probingCallback_t callbacks[PROBING_CALLBACKS];
    uint8_t callbackCount;
    uint32_t vsyncCount;
    timespec clock;
    int startDelaySeconds;
} probing;

log4c_category_t *category()
{
    if (!probing.category)
        probing.category = log4c_category_get("ulm.firmware.probingSrvc");
    return probing.category;
}

const char *actionName(const probingAction *action)
{
    return action->name ? action->name : "";
}

void readOnce(probingAction *action)
{
    log4c_category_t *cat = category();
    log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "Probing action %s, iteration count %d.", actionName(action),
                       (int)action->currentIteration);
    log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, action->blocking ? "Probing action BLOCKING." :
                                                                     "Probing action NON BLOCKING.");
    uint32_t address = platformTranslateDeviceAddress(action->device, action->address);
    if (action->blocking)
        deviceManagerAccess(action->command, action->device, address, action->priority, action->count,
                            action->destination);
    else
        deviceManagerAccessAsync(action->command, action->device, address, action->priority, action->count,
                                 action->destination, nullptr, nullptr);
    if (action->postRead) {
        log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "CALLING POST PROC FUNCTION");
        action->postRead(action);
    }
}

void runAction(probingAction *action, uint32_t vsyncCount)
{
    log4c_category_t *cat = category();
    int enabled = !action->enable || *action->enable != 0;
    if (action->countdown) {
        enabled = 0;
        action->countdown--;
    } else if (action->period) {
        action->countdown = action->period - 1;
    }
    if ((action->parity != 3 && action->parity != vsyncCount % 2) || !enabled) {
        log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "Probing action %s disabled.", actionName(action));
        return;
    }
    if (!action->destination) {
        log4c_category_log(cat, LOG4C_PRIORITY_ERROR,
                           "Error, probigGeneric action %s has NULL pointer in destination. ", actionName(action));
        log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "Probing action %s disabled.", actionName(action));
        return;
    }
    action->currentIteration = 0;
    do {
        if (action->iterations > 0 && action->iterationEnables && !action->iterationEnables[action->currentIteration])
            log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "Action \"%s\", Iteration %d Disabled.", actionName(action),
                               (int)action->currentIteration);
        else
            readOnce(action);
        if (action->iterations == 0)
            break;
        action->currentIteration++;
    } while (action->currentIteration < action->iterations);
}

} // namespace

int probingSrvcRegisterCallback(void (*function)(void), uint32_t interval, uint32_t phase)
{
    if (!function || interval == 0) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "probingSrvcModule: Fail to register call back because either passed null function "
                           "pointer or interval <= 0!");
        return 0;
    }
    if (probing.callbackCount >= PROBING_CALLBACKS) {
        log4c_category_log(category(), LOG4C_PRIORITY_ERROR,
                           "Failed to register callback service because Max notification obtained!");
        return 0;
    }
    probing.callbacks[probing.callbackCount++] = {function, interval, phase};
    return 1;
}

void probingSetStartDelay(int seconds)
{
    probing.startDelaySeconds = seconds > 0 ? seconds : 0;
}

void probingResetActions(log4c_category_t *cat)
{
    for (probingCallback_t &slot : probing.callbacks)
        slot = {nullptr, 2, 1};
    probing.callbackCount = 0;
    probing.vsyncCount = 0;
    for (probingAction *action : probingActionTable) {
        log4c_category_log(cat, LOG4C_PRIORITY_DEBUG, "Probing Initialising action %s.", actionName(action));
        action->currentIteration = 0;
        action->countdown = 0;
    }
}

void probingRunVsync(uint32_t vsyncCount)
{
    for (uint8_t i = 0; i < probing.callbackCount; i++) {
        const probingCallback_t &slot = probing.callbacks[i];
        if (slot.interval == 1 || vsyncCount % slot.interval == slot.phase)
            slot.function();
    }
    if (vsyncCount % 2 == 0)
        qvsInterfaceNotify();
    for (probingAction *action : probingActionTable)
        runAction(action, vsyncCount);
}

static void probingInit(serviceDescriptor *service)
{
    probing.category = service->category ? service->category : category();
    log4c_category_t *cat = probing.category;
    platformRegisterProbeFlags(&probingControlFlags);
    platformRegisterDeviceMemory(DEVICE_DISCOVERY_DEBUG, discoveryDebugBuffer, sizeof discoveryDebugBuffer, 1);
    platformRegisterDeviceMemory(DEVICE_LOCAL_DISCOVERY, localDiscoveryRecord, sizeof localDiscoveryRecord, 0);
    log4c_category_log(cat, LOG4C_PRIORITY_INFO, "probingInit");
    log4c_category_log(cat, LOG4C_PRIORITY_INFO, "Probing is using 'CLOCK_MONOTONIC' to measure time.");
    void *cardRegion = qvsInterfaceGetCardRegion(0);
    probingTargetInit(cardRegion ? cardRegion : platformGetSharedMemory(), cat);
    probingResetActions(cat);
}

static void probingPreStart(serviceDescriptor *service)
{
    (void)service;
    probingTargetPreStart();
}

/* Waits out a halt from the Thread Control device; 0 when the service left the running state meanwhile. */
static int waitWhileHalted(serviceDescriptor *service)
{
    while (probingControlFlags.halted && service->state == SERVICE_STATE_RUN)
        sleep(PROBING_HALT_POLL_S);
    return service->state == SERVICE_STATE_RUN;
}

/*
 * Waits the start delay before the first cycle. Only a state change posts the
 * service's semaphore while it runs, so a terminate ends the wait at once; a
 * pause or a resume lets it run out.
 */
static void waitStartDelay(serviceDescriptor *service)
{
    if (probing.startDelaySeconds <= 0)
        return;
    log4c_category_log(category(), LOG4C_PRIORITY_INFO, "%s: waiting %d seconds before the first probing cycle",
                       __func__, probing.startDelaySeconds);
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += probing.startDelaySeconds;
    for (;;) {
        int state = service->state;
        if (state != SERVICE_STATE_RUN && state != SERVICE_STATE_PAUSE)
            return;
        if (sem_clockwait(&service->semaphore, CLOCK_MONOTONIC, &until) != 0 && errno == ETIMEDOUT)
            return;
    }
}

static void probingThreadEntry(serviceDescriptor *service)
{
    log4c_category_t *cat = category();
    waitStartDelay(service);
    clock_gettime(CLOCK_MONOTONIC, &probing.clock);
    for (;;) {
        int state = service->state;
        if (state == SERVICE_STATE_PAUSE) {
            if (sem_wait(&service->semaphore) != 0 && errno != EINTR)
                return;
            continue;
        }
        if (state != SERVICE_STATE_RUN)
            return;
        platformProbingProcessDebuging(cat, PROBING_DEBUG_EVENT, 1);
        interruptControllerWaitVsync();
        platformProbingProcessDebuging(cat, PROBING_DEBUG_EVENT, 0);
        serviceThreadAlive(PROBING_ALIVE_THREAD);
        log4c_category_log(cat, LOG4C_PRIORITY_DEBUG,
                           "probing srvcRunning VSYNC count : %d <<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<",
                           (int)probing.vsyncCount);
        if (++probing.vsyncCount == 0)
            clock_gettime(CLOCK_MONOTONIC, &probing.clock);
        if (!waitWhileHalted(service))
            continue;
        probingRunVsync(probing.vsyncCount);
        /* A frame signalled by ethernet probing is probed now: let the hardware Vsyncs pace the next rounds. */
        interruptControllerClearVsyncPending();
        clock_gettime(CLOCK_MONOTONIC, &probing.clock);
    }
}

static void probingTerminate(serviceDescriptor *service, int newState, int previousState)
{
    (void)newState;
    (void)previousState;
    log4c_category_log(service->category ? service->category : category(), LOG4C_PRIORITY_INFO,
                       "probingTerminate");
}

serviceDescriptor probingService = {
    "probing", "ulm.firmware.probingSrvc",
    probingInit, probingPreStart, probingThreadEntry, probingTerminate,
    97, nullptr,
};
