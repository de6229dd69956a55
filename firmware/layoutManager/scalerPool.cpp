#include "layoutManager/sysResMngtPrivate.h"

#include "hal/hal.h"

#include <cstdio>
#include <cstring>
#include <string>

/*
 * The pools of the nine scalers and of the deinterlacers behind them, shared
 * by the four heads. Layout thread only.
 */

enum {
    DEINTERLACER_BUDGET = 16,
    DEINTERLACER_COST_SD = 1,
    DEINTERLACER_COST_1080I = 4,
    FORMAT_SD = 0,
    FORMAT_1080I = 1,
};

static const char *const DEINTERLACER_DEBUG_MARKER = "/usr/local/q7/logs/enable_deinterlacer_debug.log";

static struct {
    deinterlacerEntry_t entries[SCALER_COUNT];
    uint32_t listed;                               /* the work list of one call */
    windowInfo_t *windows[SCALER_COUNT];
    scalerInfo_t *scalers[SCALER_COUNT];
    int debug;
    log4c_category_t *category;
} dpm;

#define POOL_LOG(category, priority, ...) log4c_category_log(category, priority, __VA_ARGS__)
#define DPM_LOG(priority, ...)                                                                                         \
    do {                                                                                                               \
        if (dpm.category)                                                                                              \
            log4c_category_log(dpm.category, priority, __VA_ARGS__);                                                   \
    } while (0)
#define DPM_PRINT(...)                                                                                                 \
    do {                                                                                                               \
        if (dpm.debug)                                                                                                 \
            printf(__VA_ARGS__);                                                                                       \
    } while (0)

static int poolChecked(const void *pool, const void *data, log4c_category_t *category)
{
    if (!pool) {
        POOL_LOG(category, LOG4C_PRIORITY_ERROR, "%s Scaler Pool Manager: (scalerInfo_t *) pointer to NULL", __func__);
        return 0;
    }
    if (!data) {
        POOL_LOG(category, LOG4C_PRIORITY_ERROR, "%s Scaler Pool Manager: (postScalerData_t *) pointer to NULL",
                 __func__);
        return 0;
    }
    return 1;
}

int ScalerPoolManager_scalerPoolInitialization(scalerInfo_t *pool, log4c_category_t *category)
{
    if (!category || !poolChecked(pool, pool, category))
        return 0;
    for (int i = 0; i < SCALER_COUNT; i++)
        pool[i].enable = 0;
    return 1;
}

static int lowestFreeScaler(const scalerInfo_t *pool)
{
    for (int i = 0; i < SCALER_COUNT; i++)
        if (!pool[i].enable)
            return i;
    return -1;
}

int ScalerPoolManager_applyScalersForHead(scalerInfo_t *pool, postScalerData_t *data, uint32_t head,
                                          log4c_category_t *category)
{
    if (!category || !poolChecked(pool, data, category))
        return 0;
    POOL_LOG(category, LOG4C_PRIORITY_INFO, "%s Scaler Pool Manager: apply Scalers for HEAD# %d  ", __func__,
             (int)head);
    for (inputWinInfo &block : data->inputs) {
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++) {
            windowInfo_t &window = block.windows[r];
            if (window.windowConfigHasChanged != 1 || window.scalerEnable)
                continue;
            int id = lowestFreeScaler(pool);
            if (id < 0) {
                POOL_LOG(category, LOG4C_PRIORITY_WARN,
                         "%s Scaler Pool Manager: No more scaler to allocate for winId %d on HEAD #%d", __func__,
                         (int)window.winId, (int)head);
                continue;
            }
            window.scalerId = (uint32_t)id;
            window.scalerEnable = 1;
            pool[id].winId = window.winId;
            pool[id].enable = 1;
            pool[id].head = head;
            POOL_LOG(category, LOG4C_PRIORITY_INFO, "%s Scaler Pool Manager: Set scalerId id %d WinId %d for HEAD %d  ",
                     __func__, id, (int)window.winId, (int)head);
        }
    }
    return 1;
}

/* The first record of the window in blocks 0-8, or null. */
static windowInfo_t *findWindow(postScalerData_t *data, uint32_t winId, log4c_category_t *category)
{
    for (int b = 0; b < LAYOUT_VIDEO_INPUT_COUNT; b++) {
        inputWinInfo &block = data->inputs[b];
        if (category)
            POOL_LOG(category, LOG4C_PRIORITY_DEBUG, "%s Scaler Pool Manager: inputWinInfo[%d].inputWindowQty  %d  ",
                     __func__, b, (int)block.inputWindowQty);
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++)
            if (block.windows[r].winId == winId)
                return &block.windows[r];
    }
    return nullptr;
}

int ScalerPoolManager_freeScalerForWindow(scalerInfo_t *pool, postScalerData_t *data, uint32_t head, uint32_t winId,
                                          log4c_category_t *category)
{
    if (!category || !poolChecked(pool, data, category))
        return 0;
    POOL_LOG(category, LOG4C_PRIORITY_INFO, "%s Scaler Pool Manager: FREE Scalers for win_id %d on HEAD# %d  ",
             __func__, (int)winId, (int)head);
    windowInfo_t *window = findWindow(data, winId, category);
    if (!window) {
        POOL_LOG(category, LOG4C_PRIORITY_ERROR,
                 "%s Scaler Pool Manager: Received window ( ID= %d, head# %d) cannot be found in video widget "
                 "configuration table",
                 __func__, (int)winId, (int)head);
        return 0;
    }
    if (window->scalerEnable != 1) {
        POOL_LOG(category, LOG4C_PRIORITY_INFO, "%s Scaler Pool Manager: No scalers to free for win_id %d on HEAD# %d",
                 __func__, (int)winId, (int)head);
        return 1;
    }
    if (window->scalerId >= SCALER_COUNT) {
        POOL_LOG(category, LOG4C_PRIORITY_ERROR,
                 "%s Scaler Pool Manager: Window (win_id %d on HEAD# %d) is enabled with a invalid scaler ID (%d). \n "
                 "Will try to found and clear it scaler pool",
                 __func__, (int)winId, (int)head, (int)window->scalerId);
        for (int i = 0; i < SCALER_COUNT; i++) {
            if (pool[i].winId == window->winId && pool[i].head == head) {
                pool[i].enable = 0;
                break;
            }
        }
    } else {
        pool[window->scalerId].enable = 0;
    }
    window->scalerEnable = 0;
    window->scalerId = SCALER_ID_NONE;
    POOL_LOG(category, LOG4C_PRIORITY_INFO, "%s Scaler Pool Manager: Scalers for win_id %d on HEAD# %d is free",
             __func__, (int)winId, (int)head);
    return 1;
}

int ScalerPoolManager_isScalerResourceAvailable(scalerInfo_t *pool, log4c_category_t *category)
{
    if (!category || !poolChecked(pool, pool, category))
        return 0;
    return lowestFreeScaler(pool) >= 0 ? 1 : 0;
}

void ScalerPoolManager_displayScalerInfo(const scalerInfo_t *pool, log4c_category_t *category)
{
    if (!pool)
        return;
    for (int i = 0; i < SCALER_COUNT; i++)
        POOL_LOG(category, LOG4C_PRIORITY_INFO, "%s Scaler Pool Manager: scalerId id %d enable %d WinId %d for HEAD %d  ",
                 __func__, i, (int)pool[i].enable, (int)pool[i].winId, (int)pool[i].head);
}

void ScalerPoolManager_displayWindowInfo(const postScalerData_t *data, log4c_category_t *category)
{
    if (!data)
        return;
    for (const inputWinInfo &block : data->inputs)
        for (const windowInfo_t &window : block.windows)
            if (window.scalerEnable)
                POOL_LOG(category, LOG4C_PRIORITY_INFO, "%s Scaler Pool Manager: winId id %d scalerid %d  ", __func__,
                         (int)window.winId, (int)window.scalerId);
}

/* ---- deinterlacers ---- */

static void freeEntry(deinterlacerEntry_t &entry)
{
    entry.head = entry.winId = entry.format = DEINTERLACER_FREE;
}

static int entryInUse(const deinterlacerEntry_t &entry)
{
    return entry.head != DEINTERLACER_FREE;
}

void DPM_init(log4c_category_t *category)
{
    dpm.category = category;
    for (deinterlacerEntry_t &entry : dpm.entries)
        freeEntry(entry);
    dpm.listed = 0;
    if (FILE *marker = fopen(halPath(DEINTERLACER_DEBUG_MARKER).c_str(), "r")) {
        dpm.debug = 1;
        fclose(marker);
    }
}

const deinterlacerEntry_t *layoutManagerDpmEntry(uint32_t id)
{
    return id < SCALER_COUNT ? &dpm.entries[id] : nullptr;
}

void DPM_displayDeinterlacerList(void)
{
    printf("%s\n", std::string(53, '-').c_str());
    for (int i = 0; i < SCALER_COUNT; i++)
        printf("deinterlacerAllocatedList[%d] = (head %3d, winId %3d, format %2d)\n", i, dpm.entries[i].head,
               dpm.entries[i].winId, dpm.entries[i].format);
}

void DPM_freeDeinterlacersOfHead(uint32_t head)
{
    for (deinterlacerEntry_t &entry : dpm.entries)
        if (entry.head == (int32_t)head && entry.winId != DEINTERLACER_FREE)
            freeEntry(entry);
}

/* Format 0 for an SD field (242 or 288 lines of 720), 1 for a 1080i field, else DEINTERLACER_FREE. */
static int32_t deinterlacerFormat(const windowInfo_t &window)
{
    if (window.sizeIn == 720 && (window.vSizeIn == 242 || window.vSizeIn == 288))
        return FORMAT_SD;
    if (window.sizeIn == 1920 && window.vSizeIn == 540)
        return FORMAT_1080I;
    return DEINTERLACER_FREE;
}

static int deinterlacerCost(int32_t format)
{
    return format == FORMAT_SD ? DEINTERLACER_COST_SD : format == FORMAT_1080I ? DEINTERLACER_COST_1080I : 0;
}

void DPM_allocateDeinterlacers(uint32_t head)
{
    for (uint32_t i = 0; i < dpm.listed; i++) {
        uint32_t id = dpm.windows[i]->scalerId;
        if (id < SCALER_COUNT && entryInUse(dpm.entries[id]))
            freeEntry(dpm.entries[id]);
        dpm.windows[i]->deinterlacerEnable = 0;
        dpm.scalers[i]->deinterlacer_enable = 0;
    }
    for (uint32_t i = 0; i < dpm.listed; i++) {
        windowInfo_t &window = *dpm.windows[i];
        scalerInfo_t &scaler = *dpm.scalers[i];
        DPM_PRINT("layoutData.windowInfo[i]->scanningFormat=%d, layoutData.windowInfo[i]->vSizeIn=%d, "
                  "layoutData.windowInfo[i]->videoOutVDimension=%d\n",
                  (int)window.scanningFormat, (int)window.vSizeIn, (int)window.videoOutVDimension);
        if (window.scanningFormat != 0 || window.videoOutVDimension < 2 * window.vSizeIn)
            continue;
        int used = 0;
        for (const deinterlacerEntry_t &entry : dpm.entries)
            used += deinterlacerCost(entry.format);
        int32_t format = deinterlacerFormat(window);
        if (used + deinterlacerCost(format) > DEINTERLACER_BUDGET) {
            DPM_LOG(LOG4C_PRIORITY_ERROR, "No more de-interlacer bandwidth ... over request");
            DPM_PRINT("ERROR : No more de-interlacer bandwidth ... over request\n");
            continue;
        }
        if (scaler.enable != 1 || window.scalerId >= SCALER_COUNT) {
            DPM_LOG(LOG4C_PRIORITY_ERROR, "ERROR : no scaler allocated for this window, so DPM won't allocate "
                                          "de-interlacer to this window as well");
            DPM_PRINT("ERROR : no scaler allocated for this window, so DPM won't allocate de-interlacer to this window "
                      "as well\n");
            continue;
        }
        deinterlacerEntry_t &entry = dpm.entries[window.scalerId];
        if (entryInUse(entry)) {
            DPM_LOG(LOG4C_PRIORITY_ERROR, "Error : de-interlacer shoud be AVAILABLE but it is NOT");
            DPM_PRINT("Error : de-interlacer shoud be AVAILABLE but it is NOT\n");
            continue;
        }
        entry = {(int32_t)head, (int32_t)window.winId, format};
        window.deinterlacerEnable = 1;
        scaler.deinterlacer_enable = 1;
    }
}

static void printWorkList(void)
{
    for (uint32_t i = 0; i < dpm.listed; i++)
        DPM_PRINT("winId=%d, scalerId=%d, deinterlacer=%d\n", (int)dpm.windows[i]->winId, (int)dpm.windows[i]->scalerId,
                  (int)dpm.windows[i]->deinterlacerEnable);
}

void checkDeinterlacerAllocation(scalerInfo_t *pool, postScalerData_t *data, uint32_t headEvent, uint32_t target,
                                 uint32_t head)
{
    DPM_PRINT("%s\n", std::string(70, '*').c_str());
    dpm.listed = 0;
    for (inputWinInfo &block : data->inputs) {
        for (uint32_t r = 0; r < block.inputWindowQty && r < LAYOUT_WINDOW_COUNT; r++) {
            windowInfo_t &window = block.windows[r];
            if (!window.scalerEnable || window.scalerId >= SCALER_COUNT || dpm.listed >= SCALER_COUNT)
                continue;
            dpm.windows[dpm.listed] = &window;
            dpm.scalers[dpm.listed] = &pool[window.scalerId];
            dpm.listed++;
        }
    }
    DPM_PRINT("headId=%d, layoutData.windowQty=%d\n", (int)head, (int)dpm.listed);
    DPM_PRINT("Before processing ...\n");
    printWorkList();
    int applyLike = 0;
    if (headEvent == INPUT_CHANGE_EVENT) {
        DPM_allocateDeinterlacers(head);
    } else if (headEvent == TARGET_SPECIFIC_EVENT && target == TARGET_SCALER_RES_AVAILALBLE_EVENT) {
        DPM_PRINT("event : TARGET_SPECIFIC_EVENT && TARGET_SCALER_RES_AVAILALBLE_EVENT\n");
        applyLike = 1;
    } else if (headEvent == TARGET_SPECIFIC_EVENT && target == TARGET_FORCE_LAYOUT_EVENT) {
        DPM_PRINT("event : TARGET_SPECIFIC_EVENT && TARGET_FORCE_LAYOUT_EVENT\n");
        if (dpm.listed)
            DPM_allocateDeinterlacers(head);
        else
            DPM_freeDeinterlacersOfHead(head);
    } else if (headEvent == HEAD_APPLY_EVENT) {
        DPM_PRINT("event : HEAD_APPLY_EVENT classified: %s\n",
                  data->classification == SRM_SOURCE_CHANGE_EVENT ? "SRM_SOURCE_CHANGE_EVENT" : "SRM_HEAD_APPLY_EVENT");
        applyLike = 1;
    }
    if (applyLike) {
        if (!dpm.listed && data->classification == SRM_HEAD_APPLY_EVENT)
            DPM_freeDeinterlacersOfHead(head);
        else
            DPM_allocateDeinterlacers(head);
    }
    DPM_PRINT("After processing ...\n");
    printWorkList();
}

void deallocateDeinterlacerByWinId(scalerInfo_t *pool, postScalerData_t *data, uint32_t head, uint32_t winId)
{
    DPM_PRINT("(deallocateDeinterlacerByWinId) headId=%d, winId=%d\n", (int)head, (int)winId);
    windowInfo_t *window = findWindow(data, winId, nullptr);
    /* Nothing to release for a window that is not in the record. */
    if (!window) {
        DPM_LOG(LOG4C_PRIORITY_ERROR, "(deallocateDeinterlacerByWinId) ERROR : winId %d not found to de-allocate",
                (int)winId);
        DPM_PRINT("(deallocateDeinterlacerByWinId) ERROR : winId %d not found to de-allocate\n", (int)winId);
        return;
    }
    window->deinterlacerEnable = 0;
    uint32_t id = window->scalerId;
    if (id >= SCALER_COUNT || !entryInUse(dpm.entries[id]))
        return;
    deinterlacerEntry_t &entry = dpm.entries[id];
    if (entry.head == (int32_t)head) {
        freeEntry(entry);
        pool[id].deinterlacer_enable = 0;
        return;
    }
    DPM_PRINT("(deallocateDeinterlacerByWinId) ERROR : deinterlacerId=%d, headIds (%d vs %d) do not match\n", (int)id,
              entry.head, (int)head);
    DPM_LOG(LOG4C_PRIORITY_ERROR, "(deallocateDeinterlacerByWinId) ERROR : headIds (%d vs %d) do not match",
            entry.head, (int)head);
}
