#ifndef KVR_LAYOUTMANAGERPRIVATE_H
#define KVR_LAYOUTMANAGERPRIVATE_H

/* Declarations shared by the files of the layout manager and its sub-modules. */

#include "layoutManager/layoutManager.h"

#include <ctime>

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
void targetEventApplyCardSlot(uint32_t slotIndex);

/* The one-shot expiry of a sub-module timer armed with delayMs. */
struct itimerspec layoutTimerDelay(uint32_t delayMs);

/* Sets up the decoders' context (pre-start). */
void layoutPcodeDecoderInit(layoutManagerInstanceInfo *instance, log4c_category_t *category);

/* The head lists and the pcode remapper. */
extern const layoutHeadList *const layoutHeadLists[LAYOUT_HEAD_COUNT];
extern layoutPcodeRemap layoutPcodeRemapTable[LAYOUT_HEAD_COUNT];

/*
 * Every sub-module instance of the layout manager, listed or not; the index
 * is what a timer message carries. -1 / null for an unknown one.
 */
int layoutSubmoduleInstanceIndex(const deviceSubmoduleInstance *instance);
deviceSubmoduleInstance *layoutSubmoduleInstanceAt(int index);

/* The sub-module descriptors. */
extern deviceSubmodule kvrGenlockSi5344Submodule;   /* firmware/genlock */
extern deviceSubmodule sys4kModeSubmodule;
extern deviceSubmodule sysResMngtSubmodule;
extern deviceSubmodule hdr3DLutGenSubmodule;        /* firmware/hdrManager */
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
