#include "platform/platformPrivate.h"

#include "fwEnv/fwEnv.h"
#include "utils/utils.h"
#include "utilsHost/utilsHost.h"

#include <cstdio>
#include <cstring>

platformRecord_t platformRecord;
platformConfig_t platformConfig = {1, 0xFFFF, 255, 255, 0};

static const char *const UNDEFINED_NAME = "UNDEFINE";

static const char *const rearModelNames[] = {
    "QMR-RP01-36x4", "QMR-RP02-27x4", "QMR-RP03-18x4", "QMR-RP04-9x2",  "QMR-RP05-36x4", "QMR-RP06-27x4",
    "QMR-RP07-18x4", "QMR-RP08-9x2",  "QMR-RP09-36x4", "QMR-RP10-27x4", "QMR-RP11-18x4", "QMR-RP12-9x2",
    "QMR-RP13-63x4", "QMR-RP14-54x4", "QMR-RP15-45x4", "QMR-RP16-54x4", "QMR-RP17-9x2",
};
static const char *const cardSlotNames[] = {"Card A", "Card B", "Card C", "Card D", "Card E", "Card F"};
static const char *const revisionNames[] = {"REV 100", "REV 200"};
static const char *const cardModelNames[] = {"QMR-1100", "QMR-1200", "QMR-1100-D", nullptr, "QMR-1300", "QMR-1400"};
static const char *const frameTypeNames[] = {"Strata extended frame", "Reserved", "Strata-X", "Strata classic frame"};
static const uint8_t cardsPerSystem[] = {4, 3, 2, 1, 4, 3, 2, 1, 4, 3, 2, 1, 7, 6, 5, 6};

#define NAME_OF(table, index)                                                                                  \
    ((index) < sizeof(table) / sizeof((table)[0]) && (table)[index] ? (table)[index] : UNDEFINED_NAME)

void platformResetState(void)
{
    platformRecord.category = nullptr;
    platformRecord.deviceDoneStatus = 0;
    platformRecord.fsmVersion = platformFpgaVersion_t();
    platformRecord.dpsVersion = platformFpgaVersion_t();
    platformRecord.versionCheckDone = 0;
    platformRecord.ledIndicatorStarted = 0;
    platformRecord.rearHwType = 0;
    platformRecord.rearSlot = 0;
    platformRecord.mainHwRev = 0;
    platformRecord.mainHwPatch = 0;
    platformRecord.cardHwType = 0;
    platformRecord.sharedMemory = nullptr;
    platformRecord.frameType = 0;
    platformRecord.rearDetected = 0;
    platformRecord.rearHwRev = 0;
    platformRecord.debugRouting = kvrPlatformDebugRouting_t();
    platformRecord.vlanKnown = 0;
    platformRecord.vlanInUse = 0;
    platformRecord.videoLedInitDone = 0;
    platformRecord.videoLedState = 0;
    platformRecord.fpgasUp = 0;
    platformConfig = {1, 0xFFFF, 255, 255, 0};
    platformStreamResetState();
}

int platformStartUpSucceeded(void)
{
    return 1;
}

void platformMainLoopTick(int tick)
{
    (void)tick;
}

void platformStop(void)
{
}

uint8_t platformGetQvsVideoSlotId(void) { return platformConfig.qvsVideoSlotId; }
uint8_t platformGetQvsHybridSlotId(void) { return platformConfig.qvsHybridSlotId; }
uint16_t platformGetCardIdWord(void) { return platformConfig.cardIdWord; }
bool platformIsHybridCard(void) { return platformConfig.qvsHybridSlotId < 255; }
uint32_t platformGetDpsFpgaDeviceId(void) { return 3; }
uint32_t platformGetFsmFpgaDeviceId(void) { return 1; }
uint32_t platformGetCardSlotIndex(void) { return platformRecord.rearSlot; }
uint16_t platformGetMainHwRev(void) { return (uint16_t)platformRecord.mainHwRev; }
uint8_t platformGetMainHwPatch(void) { return platformRecord.mainHwPatch; }
uint32_t platformGetHwRevisionExtra(void) { return 0; }
uint16_t platformGetCardHwType(void) { return (uint16_t)platformRecord.cardHwType; }
uint32_t platformGetRearHwType(void) { return platformRecord.rearHwType; }
uint32_t platformGetFrameType(void) { return platformRecord.frameType; }
void *platformGetSharedMemory(void) { return platformRecord.sharedMemory; }
uint32_t platformGetActiveServicesCount(void) { return platformConfig.activeServicesCount; }
kvrPlatformDebugRouting_t platformGetDebugRouting(void) { return platformRecord.debugRouting; }

uint32_t platformTranslateDeviceAddress(uint32_t deviceId, uint32_t address)
{
    (void)deviceId;
    return address;
}

bool platformIsHdrCapableCard(void)
{
    return platformRecord.cardHwType == 4 || platformRecord.cardHwType == 5;
}

bool platformIsUsingNqAsiInputs(void)
{
    if (platformRecord.cardHwType == 0 || platformRecord.cardHwType == 4)
        return true;
    return platformRecord.cardHwType == 2 && platformRecord.frameType == 2;
}

uint32_t platformGetAmountOfCardsInMyKvrSystem(void)
{
    return platformRecord.rearHwType < sizeof cardsPerSystem ? cardsPerSystem[platformRecord.rearHwType] : 1;
}

const char *platformRearHwTypeName(uint32_t type) { return NAME_OF(rearModelNames, type); }
const char *platformRearHwRevName(uint32_t rev) { return NAME_OF(revisionNames, rev); }
const char *platformCardSlotName(uint32_t index) { return NAME_OF(cardSlotNames, index); }
const char *platformMainHwRevName(uint32_t rev) { return NAME_OF(revisionNames, rev); }
const char *platformCardTypeName(uint32_t type) { return NAME_OF(cardModelNames, type); }
const char *platformFrameTypeName(uint32_t type) { return NAME_OF(frameTypeNames, type); }

int platformIsEnVarSet(log4c_category_t *category, const char *key)
{
    if (!fwEnvGetEnv(key))
        return 0;
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s enVar: %s is set.", __func__, key);
    return 1;
}

int platformGetFanControl(uint16_t *value)
{
    int found = 0;
    int parsed = 0;
    const char *text = fwEnvGetEnv("fancontrol");
    if (text && sscanf(text, "%d", &parsed) == 1)
        found = 1;
    else
        parsed = 0;
    if (value)
        *value = (uint16_t)parsed;
    log4c_category_log(platformRecord.category, LOG4C_PRIORITY_INFO, "%s: Did we find a value? =%d, the value = %d.",
                       __func__, found, parsed);
    return found;
}

uint32_t platformAreWeUsingVlan(log4c_category_t *category)
{
    if (platformRecord.vlanKnown)
        return platformRecord.vlanInUse;
    int status = runCommand(category, "/bin/qvoutil -V");
    platformRecord.vlanKnown = 1;
    platformRecord.vlanInUse = status == 0 ? 1 : 0;
    if (status == 0)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: Using Vlan. (qvoutil -V returned 0)", __func__);
    else
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s: Not using Vlan. (qvoutil -V returned %d, expected 0)", __func__, status);
    return platformRecord.vlanInUse;
}

bool platformIsCardAonTheLeftOfMyKvrSystem(log4c_category_t *category)
{
    switch (platformRecord.rearHwType) {
    case 0: case 2: case 4: case 6: case 8: case 10:
        return platformRecord.rearHwRev != 0;
    case 1: case 5: case 9: case 12: case 13: case 14: case 15:
        return true;
    case 3: case 7: case 11: case 16: case 31:
        return false;
    default:
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Unknown rearHwType.  Assuming Card A should be to the Left of the Multiviewer system "
                           "slots (as seen from the front of the frame).",
                           __func__);
        return true;
    }
}

void platformGetSlotIdsOfAllCardsInMyKvrSystem(log4c_category_t *category, uint32_t *count, uint8_t *slots)
{
    if (!count || !slots)
        return;
    *count = 0;
    uint16_t strataSlot = platformGetStrataCardId();
    if (strataSlot == 0xFFFF) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Error, we did not yet get our Strata Frame slot number. Can't get slots of systems "
                           "cards.",
                           __func__);
        return;
    }
    uint32_t amount = platformGetAmountOfCardsInMyKvrSystem();
    uint32_t mySlot = platformRecord.rearSlot;
    if (mySlot >= amount || amount > PLATFORM_CARDS_IN_A_SYSTEM_MAX) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Error: myRearSlot %d >= amountOfCards %d, or, amountOfCards %d <= "
                           "KVR_CARDS_IN_A_SYSTEM_COUNT_MAX %d",
                           __func__, mySlot, amount, amount, PLATFORM_CARDS_IN_A_SYSTEM_MAX);
        return;
    }
    uint8_t own = (uint8_t)(strataSlot > 148 ? strataSlot - 128 : strataSlot);
    *count = amount;
    if (amount == 1) {
        slots[0] = own;
        return;
    }
    bool aOnLeft = platformIsCardAonTheLeftOfMyKvrSystem(category);
    for (uint32_t i = 0; i < amount; i++) {
        uint8_t delta = (uint8_t)(i - mySlot);
        slots[i] = aOnLeft ? (uint8_t)(own + delta) : (uint8_t)(own - delta);
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           aOnLeft ? "%s: Slot calculation info!!! ourStrataSlot %d + ( i %d - myRearSlot %d,) = "
                                     "cardSlots[i] %d, amountOfCards %d, cardAonLeftSide %d"
                                   : "%s: Slot calculation info!!! ourStrataSlot %d - ( i %d - myRearSlot %d,) = "
                                     "cardSlots[i] %d, amountOfCards %d, cardAonLeftSide %d",
                           __func__, own, i, mySlot, slots[i], amount, aOnLeft ? 1 : 0);
    }
    if (slots[mySlot] != own) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Slot calculation error!!! myRearSlot %d, ourStrataSlot %d, amountOfCards %d, "
                           "cardAonLeftSide %d, cardSlots[myRearSlot] %d",
                           __func__, mySlot, own, amount, aOnLeft ? 1 : 0, slots[mySlot]);
        *count = 0;
    }
}
