#include "layoutManager/layoutManagerPrivate.h"

#include "platform/platform.h"
#include "serviceManager/serviceManager.h"

#include <atomic>
#include <cstring>

/*
 * Target events: changes that no pcode carries, posted to every sub-module
 * instance whose target mask has the event's bit. The data travels whole in
 * the message, never as a pointer into the poster's memory; the results of
 * resource management, larger than a message, travel in a copy the message
 * owns.
 */

enum {
    PROBE_RECORD_SIZE = 24,           /* 16 bytes and four 16-bit values */
    ATDM_RECORD_WORDS = 10,           /* a mode word and nine per-input words */
    REAR_SLOT_INDEX_B = 1,
};

static struct {
    log4c_category_t *category;
    std::atomic<uint32_t> mode4k;
} targetContext;

#define TARGET_LOG(priority, ...) log4c_category_log(targetContext.category, priority, __VA_ARGS__)

void targetEventInit(void)
{
    layoutManagerTargetEventApplyCardSlot(platformGetCardSlotIndex());
}

void layoutManagerTargetEventApplyCardSlot(uint32_t slotIndex)
{
    layoutManagerInstanceInfo *instance = layoutManagerGetInstance();
    targetContext.category = instance->service ? instance->service->category : layoutManagerCategory();
    /* Heads 0 and 1 are always the card's own QVS video slot. */
    if (slotIndex == REAR_SLOT_INDEX_B) {
        const uint32_t slots[LAYOUT_HEAD_COUNT] = {5, 5, 4, 4};
        for (int h = 0; h < LAYOUT_HEAD_COUNT; h++)
            instance->remapper[h].dstSlotId = slots[h];
    }
    for (int h = 0; h < LAYOUT_HEAD_COUNT; h++) {
        TARGET_LOG(LOG4C_PRIORITY_INFO, "Gfx is providing support for head %d!", h);
        instance->remapper[h].layoutDone = 1;
    }
}

int targetProbeFormatChanged(const void *probeRecord)
{
    uint8_t data[PROBE_RECORD_SIZE];
    memcpy(data, probeRecord, sizeof data);
    return layoutTargetSpecificEvent(TARGET_PROBE_FORMAT_CHANGE_EVENT, data, sizeof data);
}

int targetEventForceLayout(void)
{
    return layoutTargetSpecificEvent(TARGET_FORCE_LAYOUT_EVENT, nullptr, 0);
}

int targetEventSystemConfigReady(void)
{
    return layoutTargetSpecificEvent(TARGET_SYSTEM_CONFIG_READY_EVENT, nullptr, 0);
}

int targetEventSystemResMngt(const void *data, uint32_t size, const uint32_t *info)
{
    TARGET_LOG(LOG4C_PRIORITY_DEBUG, "targetEventSystemResMngt notifying registered submodules to this event");
    uint32_t head = info[1];
    if (head >= LAYOUT_HEAD_COUNT) {
        TARGET_LOG(LOG4C_PRIORITY_ERROR,
                   "Big Issue, sysResMngt tries to post a specific message with an invalid head no %d", (int)head);
        return 0;
    }
    return layoutManagerTargetRecordEvent(SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD0 << head, data, size);
}

int targetEventScalerResourcesAvailable(const void *data, uint32_t size)
{
    TARGET_LOG(LOG4C_PRIORITY_DEBUG, "targetEventScalerResourcesAvailable notifying registered submodules to this event");
    return layoutTargetSpecificEvent(TARGET_SCALER_RES_AVAILALBLE_EVENT, data, size);
}

int targetEventScalerFrameRateChange(const void *data, uint32_t size)
{
    TARGET_LOG(LOG4C_PRIORITY_DEBUG, "targetEventScalerFrameRateChange notifying registered submodules to this event");
    return layoutManagerTargetRecordEvent(TARGET_SCALER_FRAME_RATE_CHANGE_EVENT, data, size);
}

int targetEventAtdmModeChanged(const uint32_t *record)
{
    uint32_t words[ATDM_RECORD_WORDS];
    memcpy(words, record, sizeof words);
    return layoutTargetSpecificEvent(ATDM_MODE_CHANGED_EVENT, words, sizeof words);
}

int targetEvent4kModeChanged(uint32_t mode)
{
    targetContext.mode4k = mode;
    return layoutTargetSpecificEvent(SYS_4K_MODE_ROTATION_CHANGED_EVENT, &mode, sizeof mode);
}

void targetSet4kMode(uint32_t mode)
{
    targetContext.mode4k = mode;
}

void targetGet4kMode(uint32_t *out)
{
    *out = targetContext.mode4k;
}
