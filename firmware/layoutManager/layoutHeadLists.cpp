#include "layoutManager/layoutManagerPrivate.h"

/*
 * The sub-module instances of the four managed heads, in calling order. The
 * genlock sub-module stands first on head 0 so that the system frame rate is
 * settled before the others run; heads 2 and 3 have no frame buffer and no
 * graphic processor. The four SCALER instances all carry head index 0 (the
 * scaler pool is shared); the four Kvr-sys4kMode instances share one state.
 */

enum { FSM_FPGA = 1, DPS_FPGA = 3, CLOCK_GENERATOR = 8, NO_DEVICE = 0 };

layoutPcodeRemap layoutPcodeRemapTable[LAYOUT_HEAD_COUNT] = {
    {0, 4, 0, 0},
    {1, 4, 1, 0},
    {2, 5, 0, 0},
    {3, 5, 1, 0},
};

uint32_t templateSubmoduleState;

/*
 * The rows other modules own (the clock generator's, the HDR 3D-LUT's) stand
 * in their places from the start and do nothing until their owner hands over
 * its descriptor (layoutManagerRegisterSubmodule).
 */
static deviceSubmodule unregisteredRows[LAYOUT_OWNED_ROWS] = {
    {"(genlock not registered)", nullptr, nullptr, 0, 0, nullptr},
    {"(hdr3DLutGen not registered)", nullptr, nullptr, 0, 0, nullptr},
};

static deviceSubmoduleInstance genlockHead0 = {CLOCK_GENERATOR, 0, 0, nullptr, &unregisteredRows[LAYOUT_ROW_GENLOCK]};
static deviceSubmoduleInstance sys4kMode[LAYOUT_HEAD_COUNT] = {
    {NO_DEVICE, 0, 0, &sys4kModeState, &sys4kModeSubmodule},
    {NO_DEVICE, 0, 1, &sys4kModeState, &sys4kModeSubmodule},
    {NO_DEVICE, 0, 2, &sys4kModeState, &sys4kModeSubmodule},
    {NO_DEVICE, 0, 3, &sys4kModeState, &sys4kModeSubmodule},
};
static deviceSubmoduleInstance sysResMngt[LAYOUT_HEAD_COUNT] = {
    {NO_DEVICE, 0, 0, nullptr, &sysResMngtSubmodule},
    {NO_DEVICE, 0, 1, nullptr, &sysResMngtSubmodule},
    {NO_DEVICE, 0, 2, nullptr, &sysResMngtSubmodule},
    {NO_DEVICE, 0, 3, nullptr, &sysResMngtSubmodule},
};
static deviceSubmoduleInstance hdr3DLutGen[LAYOUT_HEAD_COUNT] = {
    {DPS_FPGA, 0, 0, nullptr, &unregisteredRows[LAYOUT_ROW_HDR_3DLUT]},
    {DPS_FPGA, 0, 1, nullptr, &unregisteredRows[LAYOUT_ROW_HDR_3DLUT]},
    {DPS_FPGA, 0, 2, nullptr, &unregisteredRows[LAYOUT_ROW_HDR_3DLUT]},
    {DPS_FPGA, 0, 3, nullptr, &unregisteredRows[LAYOUT_ROW_HDR_3DLUT]},
};
static deviceSubmoduleInstance scaler[LAYOUT_HEAD_COUNT] = {
    {DPS_FPGA, 0, 0, nullptr, &scalerSubmodule},
    {DPS_FPGA, 0, 0, nullptr, &scalerSubmodule},
    {DPS_FPGA, 0, 0, nullptr, &scalerSubmodule},
    {DPS_FPGA, 0, 0, nullptr, &scalerSubmodule},
};
static deviceSubmoduleInstance frameBuffer[2] = {
    {FSM_FPGA, 0x1000, 0, nullptr, &frameBufferSubmodule},
    {FSM_FPGA, 0x1000, 1, nullptr, &frameBufferSubmodule},
};
static deviceSubmoduleInstance graphicProcessor[2] = {
    {FSM_FPGA, 0, 0, nullptr, &graphicProcessorSubmodule},
    {FSM_FPGA, 0, 1, nullptr, &graphicProcessorSubmodule},
};
static deviceSubmoduleInstance audioMonitoring[LAYOUT_HEAD_COUNT] = {
    {FSM_FPGA, 0x8d00, 0, nullptr, &audioMonitoringInCtrlSubmodule},
    {FSM_FPGA, 0x8d40, 1, nullptr, &audioMonitoringInCtrlSubmodule},
    {FSM_FPGA, 0x8d80, 2, nullptr, &audioMonitoringInCtrlSubmodule},
    {FSM_FPGA, 0x8dc0, 3, nullptr, &audioMonitoringInCtrlSubmodule},
};
static deviceSubmoduleInstance sdiOut[LAYOUT_HEAD_COUNT] = {
    {FSM_FPGA, 0x880, 0, nullptr, &sdiOutSubmodule},
    {FSM_FPGA, 0x8a0, 1, nullptr, &sdiOutSubmodule},
    {FSM_FPGA, 0x8c0, 2, nullptr, &sdiOutSubmodule},
    {FSM_FPGA, 0x8e0, 3, nullptr, &sdiOutSubmodule},
};
static deviceSubmoduleInstance postSysResMngt[LAYOUT_HEAD_COUNT] = {
    {NO_DEVICE, 0, 0, nullptr, &postSysResMngtSubmodule},
    {NO_DEVICE, 0, 1, nullptr, &postSysResMngtSubmodule},
    {NO_DEVICE, 0, 2, nullptr, &postSysResMngtSubmodule},
    {NO_DEVICE, 0, 3, nullptr, &postSysResMngtSubmodule},
};
/* Instances that stand in no head list: never called by events, reachable by their own timers only. */
static deviceSubmoduleInstance scalerFeeder = {DPS_FPGA, 0, 0, nullptr, &scalerFeederSubmodule};
static deviceSubmoduleInstance outputArbiter = {DPS_FPGA, 0, 0, nullptr, &outputArbiterSubmodule};
static deviceSubmoduleInstance layerWinCtrl = {FSM_FPGA, 0, 0, nullptr, &layerWinCtrlSubmodule};
static deviceSubmoduleInstance templateInstance = {NO_DEVICE, 0, 0, &templateSubmoduleState, &templateSubmodule};

static deviceSubmoduleInstance *const head0Instances[] = {
    &genlockHead0,      &sys4kMode[0],       &sysResMngt[0],      &hdr3DLutGen[0], &scaler[0],
    &frameBuffer[0],    &graphicProcessor[0], &audioMonitoring[0], &sdiOut[0],      &postSysResMngt[0],
};
static deviceSubmoduleInstance *const head1Instances[] = {
    &sys4kMode[1],        &sysResMngt[1],      &hdr3DLutGen[1], &scaler[1],         &frameBuffer[1],
    &graphicProcessor[1], &audioMonitoring[1], &sdiOut[1],      &postSysResMngt[1],
};
static deviceSubmoduleInstance *const head2Instances[] = {
    &sys4kMode[2], &sysResMngt[2], &hdr3DLutGen[2], &scaler[2], &audioMonitoring[2], &sdiOut[2], &postSysResMngt[2],
};
static deviceSubmoduleInstance *const head3Instances[] = {
    &sys4kMode[3], &sysResMngt[3], &hdr3DLutGen[3], &scaler[3], &audioMonitoring[3], &sdiOut[3], &postSysResMngt[3],
};

#define HEAD_LIST(instances) {(uint32_t)(sizeof instances / sizeof instances[0]), instances}
static const layoutHeadList head0List = HEAD_LIST(head0Instances);
static const layoutHeadList head1List = HEAD_LIST(head1Instances);
static const layoutHeadList head2List = HEAD_LIST(head2Instances);
static const layoutHeadList head3List = HEAD_LIST(head3Instances);

const layoutHeadList *const layoutHeadLists[LAYOUT_HEAD_COUNT] = {&head0List, &head1List, &head2List, &head3List};

/* Every instance once; a timer message carries the index into this table. */
static deviceSubmoduleInstance *const allInstances[] = {
    &genlockHead0,       &sys4kMode[0],       &sys4kMode[1],       &sys4kMode[2],       &sys4kMode[3],
    &sysResMngt[0],      &sysResMngt[1],      &sysResMngt[2],      &sysResMngt[3],      &hdr3DLutGen[0],
    &hdr3DLutGen[1],     &hdr3DLutGen[2],     &hdr3DLutGen[3],     &scaler[0],          &scaler[1],
    &scaler[2],          &scaler[3],          &frameBuffer[0],     &frameBuffer[1],     &graphicProcessor[0],
    &graphicProcessor[1], &audioMonitoring[0], &audioMonitoring[1], &audioMonitoring[2], &audioMonitoring[3],
    &sdiOut[0],          &sdiOut[1],          &sdiOut[2],          &sdiOut[3],          &postSysResMngt[0],
    &postSysResMngt[1],  &postSysResMngt[2],  &postSysResMngt[3],  &scalerFeeder,       &outputArbiter,
    &layerWinCtrl,       &templateInstance,
};
enum { ALL_INSTANCES = (int)(sizeof allInstances / sizeof allInstances[0]) };

/* The instances of each row another module owns. */
static deviceSubmoduleInstance *const ownedRowInstances[LAYOUT_OWNED_ROWS][LAYOUT_HEAD_COUNT] = {
    {&genlockHead0, nullptr, nullptr, nullptr},
    {&hdr3DLutGen[0], &hdr3DLutGen[1], &hdr3DLutGen[2], &hdr3DLutGen[3]},
};

int layoutManagerRegisterSubmodule(uint32_t row, deviceSubmodule *descriptor)
{
    if (row >= LAYOUT_OWNED_ROWS || !descriptor)
        return 0;
    /* The layout manager's category, when its init already ran. */
    if (!descriptor->category)
        descriptor->category = unregisteredRows[row].category;
    for (deviceSubmoduleInstance *instance : ownedRowInstances[row])
        if (instance)
            instance->descriptor = descriptor;
    return 1;
}

int layoutManagerSubmoduleInstanceIndex(const deviceSubmoduleInstance *instance)
{
    for (int i = 0; i < ALL_INSTANCES; i++)
        if (allInstances[i] == instance)
            return i;
    return -1;
}

deviceSubmoduleInstance *layoutManagerSubmoduleInstanceAt(int index)
{
    return index >= 0 && index < ALL_INSTANCES ? allInstances[index] : nullptr;
}

/*
 * The template sub-module: shows the contract and serves no head. Its private
 * word collects the events it has seen.
 */
static int templateInit(deviceSubmoduleInstance *instance, layoutEventInfo *event, const layoutHeadList *list)
{
    (void)event;
    (void)list;
    *(uint32_t *)instance->privateState = 0;
    log4c_category_log(templateSubmodule.category, LOG4C_PRIORITY_INFO, "TEMPLATE SUB-MODULE:head %d Init",
                       (int)instance->head);
    return 0;
}

static int templateProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    (void)data;
    log4c_category_t *category = templateSubmodule.category;
    int head = (int)instance->head;
    *(uint32_t *)instance->privateState |= event->headEvent;
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "TEMPLATE SUB-MODULE:head %d Process", head);
    if (event->headEvent == FORCE_LAYOUT_EVENT)
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "TEMPLATE Sub-module: HEAD %d. FORCE_LAYOUT_EVENT.", head);
    else if (event->headEvent == HEAD_RESOLUTION_EVENT)
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "TEMPLATE SUB-MODULE:head %d HEAD_RESOLUTION_EVENT", head);
    else if (event->headEvent == HEAD_APPLY_EVENT)
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "TEMPLATE SUB-MODULE:head %d HEAD_APPLY_EVENT", head);
    return 0;
}

deviceSubmodule templateSubmodule = {"Ulm-2-template", templateInit, templateProcess, HEAD_LAYOUT_EVENTS, 0, nullptr};
