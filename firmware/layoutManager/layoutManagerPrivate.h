#ifndef KVR_LAYOUTMANAGERPRIVATE_H
#define KVR_LAYOUTMANAGERPRIVATE_H

/* Declarations shared by the files of the layout manager and its own sub-modules. */

#include "layoutManager/layoutSubmodule.h"

#include <ctime>

/* Set-device registers that the layout manager listens to. */
enum { DAC_VOLUME_REG_ID = 4, DELAY_REG_ID = 5, AES_VOLUME_REG_ID = 6 };

/* Maps a pcode's destination slot and head id to one of the four managed heads. */
struct layoutPcodeRemap {
    uint32_t managedHead;
    uint32_t dstSlotId;
    uint32_t headId;
    uint32_t layoutDone;              /* 0: the head's sub-modules are not called */
};

/* The one layout manager instance. */
struct layoutManagerInstanceInfo {
    uint8_t heads;
    uint8_t windows;
    uint8_t inputs;
    uint8_t lists;
    const layoutHeadList *const *headLists;
    layoutPcodeRemap *remapper;
    privateLayoutData data;
    layoutEventInfo event;
    serviceDescriptor *service;
};

/* The layout manager instance (layout data, event record, head lists, remapper). */
layoutManagerInstanceInfo *layoutManagerGetInstance(void);

/*
 * Decoders (layout thread): store a pcode's values in the layout data and set
 * the head event. Return 0 changed, 6 short or not handled, 13 no managed head
 * or an id out of range, 14 unchanged.
 */
int layoutPcodeDecoder(const uint8_t *pcode);
/* Payload of a set-device message: u8 slot, u16 device, u16 register, u32 value (little-endian). */
int layoutSetDeviceRegisterDecoder(const uint8_t *payload);
/* The managed head of (dstSlotId, headId); sets head and window 0 in the event record. Null: no such head. */
headLayoutRecord *layoutRemapPcodeHead(uint32_t dstSlotId, uint32_t headId);

/* The layout manager's log category (null before init). */
log4c_category_t *layoutManagerCategory(void);

/*
 * Serves at most one queued message on the caller's thread, waiting up to
 * timeoutMs for one when the queue is empty. Returns 1 when a message was
 * served, 0 otherwise. The layout thread's loop; tests call it directly.
 */
int layoutManagerServeNext(int timeoutMs);

/* Posting attempts counted so far (also the dropped ones). */
uint32_t layoutManagerEventReceivedCount(void);
/* Messages in the pool and in the work queue. */
uint32_t layoutManagerFreeCount(void);
uint32_t layoutManagerQueuedCount(void);

/* Calls the instances of one head list: mode 0 init, 1 head event, 2 target event. */
enum { LAYOUT_NOTIFY_INIT = 0, LAYOUT_NOTIFY_HEAD_EVENT = 1, LAYOUT_NOTIFY_TARGET_EVENT = 2 };
void notifySubModulesOfChange(const layoutHeadList *list, int mode);

/*
 * targetEventInit's work for a card in slot index slotIndex (0-5): points the
 * remapper at the card's own slots and lets every head's sub-modules run.
 */
void layoutManagerTargetEventApplyCardSlot(uint32_t slotIndex);

/* The one-shot expiry of a sub-module timer armed with delayMs. */
struct itimerspec layoutManagerTimerDelay(uint32_t delayMs);

/* Sets up the decoders' context (pre-start). */
void layoutManagerPcodeDecoderInit(layoutManagerInstanceInfo *instance, log4c_category_t *category);

/* The head lists and the pcode remapper. */
extern const layoutHeadList *const layoutHeadLists[LAYOUT_HEAD_COUNT];
extern layoutPcodeRemap layoutPcodeRemapTable[LAYOUT_HEAD_COUNT];

/*
 * Every sub-module instance of the layout manager, listed or not; the index
 * is what a timer message carries. -1 / null for an unknown one.
 */
int layoutManagerSubmoduleInstanceIndex(const deviceSubmoduleInstance *instance);
deviceSubmoduleInstance *layoutManagerSubmoduleInstanceAt(int index);

/* The descriptors of the layout manager's own sub-modules. */
extern deviceSubmodule sys4kModeSubmodule;
extern deviceSubmodule sysResMngtSubmodule;
extern deviceSubmodule scalerSubmodule;
extern deviceSubmodule frameBufferSubmodule;
extern deviceSubmodule graphicProcessorSubmodule;
extern deviceSubmodule audioMonitoringInCtrlSubmodule;
extern deviceSubmodule sdiOutSubmodule;
extern deviceSubmodule postSysResMngtSubmodule;
extern deviceSubmodule outputArbiterSubmodule;
extern deviceSubmodule scalerFeederSubmodule;
extern deviceSubmodule layerWinCtrlSubmodule;
extern deviceSubmodule templateSubmodule;

/* The state the four Kvr-sys4kMode instances share. */
struct sys4kModeHead_t {
    uint32_t events;                  /* accumulated events */
    uint32_t pending;                 /* a resolution waits for HEAD_APPLY_EVENT */
    headResolution_t pendingResolution;
    headResolution_t latchedResolution;
    uint32_t seen;                    /* latched by FORCE_LAYOUT_EVENT */
};
struct sys4kModeState_t {
    sys4kModeHead_t heads[LAYOUT_HEAD_COUNT];
    uint32_t mode;                    /* 1: 4k rotation mode */
};
extern sys4kModeState_t sys4kModeState;

/* The template sub-module's private word. */
extern uint32_t templateSubmoduleState;

#endif
