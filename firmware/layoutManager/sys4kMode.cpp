#include "layoutManager/layoutManagerPrivate.h"

#include <cstring>

/*
 * Kvr-sys4kMode: the four heads together show one 4k picture when all four
 * are 1080p heads rotated the same way (90 or 180 degrees). The instances of
 * the four heads share one state; a head's resolution counts once it is
 * latched (at FORCE_LAYOUT_EVENT, or at HEAD_APPLY_EVENT after a new
 * resolution), and the decision is made only when all four heads were seen.
 */

enum { ROTATION_90 = 1, ROTATION_180 = 2, SDI_RES_1080P = 2 };

sys4kModeState_t sys4kModeState;

#define SYS4K_LOG(priority, ...) log4c_category_log(sys4kModeSubmodule.category, priority, __VA_ARGS__)

static void checkIfWegotInto4KRotationMode(void)
{
    sys4kModeState_t &state = sys4kModeState;
    int allHeadsAre1080p = 1, allHeadsAre90DegRotation = 1, allHeadsAre180DegRotation = 1;
    for (const sys4kModeHead_t &head : state.heads) {
        if (!head.seen)
            return;
        allHeadsAre1080p &= head.latchedResolution.sdiRes == SDI_RES_1080P;
        allHeadsAre90DegRotation &= head.latchedResolution.rotation == ROTATION_90;
        allHeadsAre180DegRotation &= head.latchedResolution.rotation == ROTATION_180;
    }
    uint32_t mode = allHeadsAre1080p && (allHeadsAre90DegRotation || allHeadsAre180DegRotation) ? 1 : 0;
    if (mode == state.mode)
        return;
    SYS4K_LOG(LOG4C_PRIORITY_NOTICE,
              "sys4kMode: %s detected a 4kMode change! We are %s4k Rotation Mode. allHeadsAre1080p %d, "
              "allHeadsAre90DegRotation %d, allHeadsAre180DegRotation %d. Triggering a "
              "SYS_4K_MODE_ROTATION_CHANGED_EVENT.",
              __func__, mode ? "in " : "NOT in ", allHeadsAre1080p, allHeadsAre90DegRotation,
              allHeadsAre180DegRotation);
    state.mode = mode;
    targetEvent4kModeChanged(mode);
}

static int sys4kModeInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)event;
    (void)list;
    uint32_t h = instance->head;
    if (h >= LAYOUT_HEAD_COUNT) {
        SYS4K_LOG(LOG4C_PRIORITY_ERROR, "sys4kMode: Error, head %d out of bonds.", (int)h);
        return 0;
    }
    sys4kModeState_t *state = (sys4kModeState_t *)instance->privateState;
    state->mode = 0;
    memset(&state->heads[h], 0, sizeof state->heads[h]);
    return 0;
}

static void sys4kModeLatch(sys4kModeHead_t *head, const headResolution_t *resolution, const char *eventName, int h)
{
    head->latchedResolution = *resolution;
    SYS4K_LOG(LOG4C_PRIORITY_NOTICE,
              "sys4kMode: %s on Head %d. Latched Rotation %d, SDI Resolution %d (0=720p, 1=1080i, 2=1080p). ",
              eventName, h, (int)resolution->rotation, (int)resolution->sdiRes);
    checkIfWegotInto4KRotationMode();
    head->events = 0;
}

static int sys4kModeProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    uint32_t h = instance->head;
    if (h >= LAYOUT_HEAD_COUNT) {
        SYS4K_LOG(LOG4C_PRIORITY_ERROR, "sys4kMode: Error, head %d out of bonds.", (int)h);
        return 0;
    }
    sys4kModeHead_t *head = &((sys4kModeState_t *)instance->privateState)->heads[h];
    head->events |= event->headEvent;
    switch (event->headEvent) {
    case HEAD_RESOLUTION_EVENT:
        memcpy(&head->pendingResolution, data, sizeof head->pendingResolution);
        head->pending = 1;
        break;
    case FORCE_LAYOUT_EVENT:
        head->seen = 1;
        sys4kModeLatch(head, &event->headRecord->resolution, "FORCE_LAYOUT_EVENT", (int)h);
        break;
    case HEAD_APPLY_EVENT:
        if (!head->pending)
            break;
        head->pending = 0;
        sys4kModeLatch(head, &head->pendingResolution, "HEAD_APPLY_EVENT", (int)h);
        break;
    default:
        SYS4K_LOG(LOG4C_PRIORITY_ERROR,
                  "sys4kMode: Error. Non registered event occurred for sub-module %s! eventId 0x%x, head id %d, target "
                  "eventId 0x%x",
                  instance->descriptor->name, event->headEvent, (int)h, event->target);
        break;
    }
    return 0;
}

deviceSubmodule sys4kModeSubmodule = {"Kvr-sys4kMode", sys4kModeInit, sys4kModeProcess, HEAD_LAYOUT_EVENTS, 0, nullptr};
