#ifndef KVR_LAYOUTSUBMODULE_H
#define KVR_LAYOUTSUBMODULE_H

/*
 * The contract between the layout manager and its device sub-modules: the
 * event record a sub-module is called with, the descriptor row that names its
 * functions and the events it takes, and the instances of the head lists.
 * Sub-modules of other modules (genlock, HDR) include this header and nothing
 * else from firmware/layoutManager, and register their rows through it.
 *
 * May include: layoutManager.h (posting, layout data) and log4c.
 */

#include "layoutManager/layoutManager.h"

#include <cstdint>
#include <log4c.h>

/* headEvent bits: what changed in a head's layout (one bit per event). */
enum : uint32_t {
    HEAD_APPLY_EVENT = 0x1,
    HEAD_RESOLUTION_EVENT = 0x2,
    HEAD_ATTRIBUTES_EVENT = 0x4,
    DVI_HEAD_ALIGNMENT_EVENT = 0x8,
    DVI_BACKGROUND_ATTRIBUTES_EVENT = 0x10,
    VGA_HEAD_ALIGNMENT_EVENT = 0x20,
    VGA_OUTPUT_EVENT = 0x40,
    HEAD_BRIGHTNESS_CONTRAST_GAMMA_EVENT = 0x80,
    HEAD_COLOR_SATURATION_EVENT = 0x100,
    HEAD_AUDIO_MONITOR_EVENT = 0x200,
    AES_VOLUME_REG_EVENT = 0x400,
    DAC_VOLUME_REG_EVENT = 0x800,
    DELAY_REG_EVENT = 0x1000,
    WINDOW_LAYOUT_EVENT = 0x2000,
    WINDOW_ATTRIBUTES_EVENT = 0x4000,
    WINDOW_PRIORITY_EVENT = 0x8000,
    INPUT_CHANGE_EVENT = 0x10000,
    ALL_INPUTS_EVENT = 0x20000,
    FORCE_LAYOUT_EVENT = 0x40000,
    SYSTEM_FRAME_RATE_EVENT = 0x80000,
    TARGET_SPECIFIC_EVENT = 0x100000,
    TIMER_TIMEOUT_EVENT = 0x200000,
};

/* Event sets that several rows share. */
enum : uint32_t {
    /* A head's layout as a whole: forced, resized, applied. */
    HEAD_LAYOUT_EVENTS = FORCE_LAYOUT_EVENT | HEAD_RESOLUTION_EVENT | HEAD_APPLY_EVENT,
    /* Resource management's result of one of the four heads is ready. */
    SYS_RES_MNGT_NOTIFICATION_EVENTS = SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD0 | SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD1 |
                                       SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD2 | SYS_RES_MNGT_NOTIFICATION_EVENT_HEAD3,
    /* Every target event that carries a result of resource management. */
    SYS_RES_MNGT_RESULT_EVENTS = SYS_RES_MNGT_NOTIFICATION_EVENTS | TARGET_SCALER_FRAME_RATE_CHANGE_EVENT,
};

/* 1 when `target` is exactly one of the bits of `events`. */
inline int layoutIsOneEventOf(uint32_t target, uint32_t events)
{
    return target != 0 && (target & (target - 1)) == 0 && (target & events) != 0;
}

/* layoutEventInfo::resultStatus before any sub-module set it. */
enum : uint32_t { LAYOUT_RESULT_STATUS_NONE = 0xFFFFFFFF };

/*
 * The event record the layout thread fills before every sub-module call and
 * passes to it. Lives on the layout thread only.
 */
struct layoutEventInfo {
    uint32_t headEvent;               /* the headEvent bit of this call */
    uint32_t head;                    /* managed head 0-3 whose list is notified */
    uint32_t window;                  /* window id for the window events, else 0 */
    uint32_t input;                   /* input index for INPUT_CHANGE_EVENT, else 0 */
    uint32_t target;                  /* targetEvent bit for TARGET_SPECIFIC_EVENT, else 0 */
    headLayoutRecord *headRecord;
    videoInputRecord *inputRecords;   /* the first of the stored input records */
    const void *eventData;            /* TARGET_SPECIFIC_EVENT: the event's data (valid during the call), else null */
    uint32_t eventSize;               /* bytes readable at eventData */
    /*
     * What became of a result of resource management in this dispatch, for
     * the sub-modules after the one that took it (SRM_NEW_DATA_...), else
     * LAYOUT_RESULT_STATUS_NONE.
     */
    uint32_t resultStatus;
};

struct deviceSubmoduleInstance;
struct layoutHeadList;

/* Result ignored by the layout manager. Called once per instance at pre-start. */
typedef int (*deviceSubmoduleInit)(deviceSubmoduleInstance *instance, layoutEventInfo *event,
                                   const layoutHeadList *list);
/*
 * Called on the layout thread for every matching event. `data` points at the
 * changed part of the layout data, at the target event's data, or, for
 * TIMER_TIMEOUT_EVENT, at a u32 holding the value the timer was armed with.
 * Returns 0, or a non-zero status the sub-module has already logged; the
 * layout manager goes on with the next instance either way.
 */
typedef int (*deviceSubmoduleProcess)(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data);

/*
 * A sub-module: one static descriptor, one instance per head it serves. The
 * layout manager calls process only for the bits of its masks.
 */
struct deviceSubmodule {
    const char *name;
    deviceSubmoduleInit init;         /* may be null */
    deviceSubmoduleProcess process;   /* may be null */
    uint32_t headMask;                /* headEvent bits that reach process */
    uint32_t targetMask;              /* targetEvent bits that reach process */
    log4c_category_t *category;       /* the layout manager's, set at init */
};

struct deviceSubmoduleInstance {
    uint32_t deviceId;                /* 1 FSM-FPGA, 3 DPS-FPGA, 8 clock generator, 0 none */
    uint32_t baseAddress;
    uint32_t head;                    /* the head it serves (a timer expiry picks this head's record) */
    void *privateState;
    deviceSubmodule *descriptor;
};

/* A head's sub-module instances in calling order. */
struct layoutHeadList {
    uint32_t count;
    deviceSubmoduleInstance *const *instances;
};

/*
 * Arms a one-shot timer for a sub-module instance: after delayMs the layout
 * thread calls the descriptor's process for that instance only, with
 * TIMER_TIMEOUT_EVENT and `value`. The instance must be one of the layout
 * manager's and `descriptor` its descriptor. Returns 0 armed, 2 the timer
 * could not be created or set (or an unknown instance), 3 the pool is empty.
 */
int startSubModuleTimeoutEvent(deviceSubmodule *descriptor, uint32_t delayMs, deviceSubmoduleInstance *instance,
                               uint32_t value);

/*
 * The managed head 0-3 that a pcode's destination slot and head id address
 * on this card (the remapper's entry), or -1 when none does. Does not touch
 * the event record. Layout thread.
 */
int layoutManagerManagedHeadOf(uint32_t dstSlotId, uint32_t headId);

/*
 * The rows of the head lists that other modules own: the clock generator's
 * (genlock, first on head 0) and the HDR 3D-LUT's (one per head). They hold
 * their places in the lists and do nothing until the owner registers.
 */
enum : uint32_t { LAYOUT_ROW_GENLOCK = 0, LAYOUT_ROW_HDR_3DLUT = 1, LAYOUT_OWNED_ROWS = 2 };

/*
 * Hands a row its owner's descriptor. Returns 1, or 0 for an unknown row or a
 * null descriptor. main's thread, before the layout manager's init; calling
 * it again replaces the descriptor.
 */
int layoutManagerRegisterSubmodule(uint32_t row, deviceSubmodule *descriptor);

#endif
