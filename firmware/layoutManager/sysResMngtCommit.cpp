#include "layoutManager/sysResMngtPrivate.h"

#include <cstring>

/*
 * postSysResMngt, last in every head list: commits a head's result of
 * resource management once the scaler has had it. The notification's result
 * names the head; what the scaler made of it comes in the event record.
 * Layout thread.
 */

#define POST_LOG(priority, ...) log4c_category_log(postSysResMngtSubmodule.category, priority, __VA_ARGS__)

/* The head's blocks become the previous image, with their change flags cleared. */
static void keepAsPrevious(sysResMngtHeadData_t *hd)
{
    for (int b = 0; b < LAYOUT_VIDEO_INPUT_COUNT; b++) {
        inputWinInfo &block = hd->post.inputs[b];
        block.update = 1;
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++) {
            block.windows[r].windowConfigHasChanged = 0;
            block.windows[r].attributeConfigHasChanged = 0;
        }
        inputWinInfo &previous = hd->previous[b];
        previous.update = block.update;
        previous.inputWindowQty = block.inputWindowQty;
        memcpy(previous.windows, block.windows, block.inputWindowQty * sizeof(windowInfo_t));
    }
}

static int postSysResMngtProcess(deviceSubmoduleInstance *instance, layoutEventInfo *event, const void *data)
{
    uint32_t target = event->target;
    if (!layoutIsOneEventOf(target, SYS_RES_MNGT_RESULT_EVENTS)) {
        POST_LOG(LOG4C_PRIORITY_ERROR,
                 "%s: Big problem got event that process %s did not registered! head %d eventId 0x%x, target "
                 "eventId 0x%x",
                 __func__, instance->descriptor->name, (int)event->head, event->headEvent, target);
        return 0;
    }
    const sysResMngtResult_t *result = sysResMngtResultIn(event, data);
    sysResMngtHeadData_t *hd = result ? layoutManagerSysResMngtHeadData(result->head) : nullptr;
    if (!hd || event->head != hd->head)
        return 0;
    postScalerData_t &post = hd->post;
    uint32_t status = event->resultStatus != LAYOUT_RESULT_STATUS_NONE ? event->resultStatus : post.newDataFlag;
    POST_LOG(LOG4C_PRIORITY_DEBUG,
             "%s: %s sub-module, %s function-> video path processing %s: LM event 0x%x, SRM event 0x%x, head no %d, "
             "status %d",
             __func__, "postSysResMngt", "postSysResMngtProcess",
             status == SRM_NEW_DATA_PROGRAMMED ? "Succeeded" : "Failed", event->headEvent, hd->eventKind,
             (int)hd->head, (int)status);
    keepAsPrevious(hd);
    layoutManagerSysResMngtClearProcessingState(hd->head);
    post.newDataFlag = SRM_NEW_DATA_START;
    post.disableUnusedWindows = 0;
    post.windowCountCommitted = post.windowCount;
    return 0;
}

deviceSubmodule postSysResMngtSubmodule = {"postSysResMngt", nullptr, postSysResMngtProcess, 0,
                                           SYS_RES_MNGT_RESULT_EVENTS, nullptr};
