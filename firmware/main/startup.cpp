#include "main/startup.h"

#include "configManager/configManager.h"
#include "fwEnv/fwEnv.h"
#include "genlock/genlock.h"
#include "hdrManager/hdrManager.h"
#include "layoutManager/layoutManager.h"
#include "platform/platform.h"
#include "probing/probing.h"
#include "serviceManager/serviceManager.h"
#include "sfp/sfp.h"

#include <cstdio>

enum { EQUALISER_INPUTS = 9, EQUALISER_SETTING = 0x20, REAR_MISMATCH_ALARM = 0x02 };

void mainChooseServicesList(log4c_category_t *category)
{
    uint32_t slot = platformGetCardSlotIndex();
    if (slot < 2) {
        platformSetActiveServicesCount(HYBRID_SERVICES_COUNT);
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Detected %s will use Hybrid services list of %d elements.",
                           __func__, platformCardSlotName(slot), HYBRID_SERVICES_COUNT);
        /* The count is the list's own: never copy more entries than the list holds. */
        for (int i = 0; i < HYBRID_SERVICES_COUNT; i++)
            startUpServicesList[i] = hybridServicesList[i];
        startUpServicesCount = HYBRID_SERVICES_COUNT;
        for (uint32_t i = 0; i < fifoServerCardPorts.count && i < PROBING_FIFO_CARD_COUNT; i++) {
            char key[64];
            snprintf(key, sizeof key, "service.fifoServer.port%c", 'A' + i);
            fifoServerCardPorts.ports[i] = (uint32_t)configGetIntValue(key);
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: fifo handle listen to port '%c': %d", __func__,
                               'A' + i, fifoServerCardPorts.ports[i]);
        }
        return;
    }
    platformSetActiveServicesCount(VIDEO_SERVICES_COUNT);
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Detected %s will use Video services list of %d elements.",
                       __func__, platformCardSlotName(slot), VIDEO_SERVICES_COUNT);
    for (int i = 0; i < HYBRID_SERVICES_COUNT; i++)
        startUpServicesList[i] = i < VIDEO_SERVICES_COUNT ? videoServicesList[i] : nullptr;
    startUpServicesCount = VIDEO_SERVICES_COUNT;
}

/* FPGA reset, start-up waits, rear card and the card's identity in its status block. */
/* The system frame rate genlock announced, for the output stage of the layout manager. */
static uint32_t startupGenlockSystemFrameRate(void)
{
    genlockStatus_t status;
    kvrGenlockSi5344GetGenlockStatus(&status);
    return status.systemFrameRate;
}

static void bringUpCard(log4c_category_t *category, const char *fn)
{
    platformResetFpga(PLATFORM_FPGA_DPS);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: DPS initializing started! Reset the DPS FPGA.", fn);
    platformResetFpga(PLATFORM_FPGA_FSM);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: FSM initializing started! Reset the FSM FPGA.", fn);
    platformInitFpga(category);
    platformDdr3SelfTest(category);

    platformDetectRearHardware(category);
    platformPublishFpgaStatus();
    healthMonitorCardAlarms[0] = 0;
    healthMonitorCardAlarms[1] = 0;
    if (!platformValidateRearHardwareType(category))
        healthMonitorCardAlarms[0] |= REAR_MISMATCH_ALARM;
    platformPublishCardStatus(category);
}

/* Transceivers, cable equalisers and stream settings. */
static void setUpVideoPaths(log4c_category_t *category)
{
    platformInitGthSettings();
    platformInitGTHrxtxPowerdownControl(category);
    const uint8_t equaliserSetting = EQUALISER_SETTING;
    for (uint32_t input = 0; input < EQUALISER_INPUTS; input++)
        platformEQWriteLMH0394Input(input, 1, 1, &equaliserSetting);
    platformInitKvrVideoStreamSetting(category);
}

/* Probe tables, SDTI registers and discovery; discovery insertion waits for the address under a VLAN. */
static void setUpProbes(log4c_category_t *category, const char *fn)
{
    probingInitFpgaProbeTables();
    audioProbeInit();
    probingInitSdtiRegisters(category);
    vancMetaDataClearBuffer(category);
    if (platformAreWeUsingVlan(category))
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: Since we are using vlan we will not start MetaData packets (discovery) insertion now, "
                           "and wait until we confirmed our ip address.",
                           fn);
    else
        vancMetaDataInterfaceInit(category);
    platformUpdateControlRegister(0, 0);
}

/* Hands the probing target's bridge-in record on to the layout manager, as its target event's data. */
static void startupProbeFormatChanged(const probingBridgeInChange_t *change)
{
    targetProbeFormatChanged(change);
}

/*
 * The target events' start-up: the layout manager's own part, then the probe-data
 * change callback and the genlock change handler, registered here because the
 * layout manager may not reach the probing and genlock modules itself.
 */
static void startupTargetEventInit(void)
{
    targetEventInit();
    registerFpgaProbeDataChangeCallBck(startupProbeFormatChanged);
    kvrGenlockSi5344HandlerRegister(kvrGenlockSi5344TargetEventHandler);
}

void mainRegisterModules(void)
{
    genlockRegister();
    hdrManagerRegister();
    sfpRegister();
}

void platformInit(log4c_category_t *category, void *sharedMemory)
{
    platformAttach(category, sharedMemory);
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: Share memory address : 0x%p", __func__, sharedMemory);

    fwEnvInitMutex();
    mainRegisterStreamHooks();
    layoutManagerSetSystemFrameRateReader(startupGenlockSystemFrameRate);
    kvrGenlockLoadFactoryDefault(category);
    bringUpCard(category, __func__);

    platformFpgaVersionCheck(category);
    platformFrameModeControl(category);
    mainChooseServicesList(category);
    startupTargetEventInit();
    setUpVideoPaths(category);
    setUpProbes(category, __func__);

    videoProbeChangedCallbackRegister(videoProbeSendInputRecord);
    sfpApplyStoredTxDisable(category);
    platformApplyBuildVersion(category);
    platformSetStatusLed(category, 0);
}
