#include "layoutManager/layoutManagerPrivate.h"

#include "hal/hal.h"
#include "utils/utils.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

/* The layout data is the body of "layout.bin" and the memory of device 5: every offset is fixed. */
static_assert(sizeof(privateLayoutData) == LAYOUT_DATA_SIZE, "privateLayoutData");
static_assert(offsetof(privateLayoutData, version) == 0, "version");
static_assert(offsetof(privateLayoutData, systemFrameRate) == 4, "systemFrameRate");
static_assert(offsetof(privateLayoutData, heads) == 8, "heads");
static_assert(offsetof(privateLayoutData, heads[1]) == 8 + 9620, "head 1");
static_assert(offsetof(privateLayoutData, heads[3]) == 8 + 3 * 9620, "head 3");
static_assert(offsetof(privateLayoutData, inputs) == 38488, "inputs");
static_assert(offsetof(privateLayoutData, inputs[15]) == 38488 + 15 * 44, "input 15");

static_assert(sizeof(headLayoutRecord) == 9620, "headLayoutRecord");
static_assert(offsetof(headLayoutRecord, resolution) == 0, "resolution");
static_assert(offsetof(headLayoutRecord, attributes) == 60, "attributes");
static_assert(offsetof(headLayoutRecord, dviAlignment) == 180, "dviAlignment");
static_assert(offsetof(headLayoutRecord, vgaAlignment) == 212, "vgaAlignment");
static_assert(offsetof(headLayoutRecord, dviBackground) == 248, "dviBackground");
static_assert(offsetof(headLayoutRecord, vgaOutput) == 276, "vgaOutput");
static_assert(offsetof(headLayoutRecord, colorSaturation) == 308, "colorSaturation");
static_assert(offsetof(headLayoutRecord, reserved) == 312, "reserved");
static_assert(offsetof(headLayoutRecord, brightnessContrastGamma) == 316, "brightnessContrastGamma");
static_assert(offsetof(headLayoutRecord, audioMonitoring) == 356, "audioMonitoring");
static_assert(offsetof(headLayoutRecord, aesVolume) == 388, "aesVolume");
static_assert(offsetof(headLayoutRecord, dacVolume) == 392, "dacVolume");
static_assert(offsetof(headLayoutRecord, audioDelay) == 396, "audioDelay");
static_assert(offsetof(headLayoutRecord, windows) == 400, "windows");
static_assert(offsetof(headLayoutRecord, windows[1]) == 400 + 144, "window 1");
static_assert(offsetof(headLayoutRecord, windowQuantity) == 9616, "windowQuantity");
static_assert(offsetof(headResolution_t, vOffset) == 40 && sizeof(headResolution_t) == 60, "resolution words");
static_assert(offsetof(headAttributes_t, processingDelay) == 116 && sizeof(headAttributes_t) == 120, "attributes");
static_assert(sizeof(dviHeadAlignment_t) == 32 && sizeof(vgaHeadAlignment_t) == 36, "alignments");
static_assert(sizeof(dviBackgroundAttributes_t) == 28 && sizeof(vgaOutput_t) == 32, "background, vga output");
static_assert(sizeof(headBrightnessContrastGamma_t) == 40 && sizeof(audioMonitoringSource_t) == 32, "colour, audio");

static_assert(sizeof(windowLayoutRecord) == 144, "windowLayoutRecord");
static_assert(offsetof(windowLayoutRecord, winPriority) == 0, "winPriority");
static_assert(offsetof(windowLayoutRecord, layout) == 4, "layout");
static_assert(offsetof(windowLayoutRecord, attributes) == 112, "window attributes");
static_assert(offsetof(windowLayout_t, in_v_full_crop_end) == 100 && sizeof(windowLayout_t) == 108, "layout words");
static_assert(sizeof(windowAttributes_t) == 32, "window attribute words");

static_assert(sizeof(videoInputRecord) == 44, "videoInputRecord");
static_assert(offsetof(videoInputRecord, firstWord) == 0, "firstWord");
static_assert(offsetof(videoInputRecord, inputIndex) == 4, "inputIndex");
static_assert(offsetof(videoInputRecord, videoTypeInfo) == 8, "videoTypeInfo");
static_assert(offsetof(videoInputRecord, zoneFormat) == 12, "zoneFormat");
static_assert(offsetof(videoInputRecord, carrierDetect) == 16, "carrierDetect");
static_assert(offsetof(videoInputRecord, eavSavErr) == 20, "eavSavErr");
static_assert(offsetof(videoInputRecord, frameRate) == 24, "frameRate");
static_assert(offsetof(videoInputRecord, scanningFormat) == 28, "scanningFormat");
static_assert(offsetof(videoInputRecord, samplesPerActiveLines) == 32, "samplesPerActiveLines");
static_assert(offsetof(videoInputRecord, activeLinesPerFrame) == 36, "activeLinesPerFrame");
static_assert(offsetof(videoInputRecord, totalLinesPerFrame) == 40, "totalLinesPerFrame");

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "layout.bin holds the data as a little-endian host keeps it");

#define LAYOUT_FILE "/usr/local/q7/firmware/layout.bin"
#define LAYOUT_DEFAULT_FILE "/usr/local/q7/firmware/layout_default.bin"

#define LAYOUT_LOG(priority, ...) log4c_category_log(layoutManagerCategory(), priority, __VA_ARGS__)

/* Scratch for a load: the live data changes only when a whole file checked out. */
static uint8_t layoutLoadBuffer[LAYOUT_FILE_SIZE];

static uint16_t layoutFileCheckWord(const uint8_t *file)
{
    return (uint16_t)(file[LAYOUT_DATA_SIZE] | file[LAYOUT_DATA_SIZE + 1] << 8);
}

/*
 * Reads one layout file into the scratch buffer. -1 when it cannot be opened
 * or is longer than a layout file (logged: it is not read at all); 2 when it
 * is shorter than a layout file (logged: it has no check word to compare);
 * else 1 when its check word matches, 0 when not. *expected and *computed get
 * the two words.
 */
static int layoutReadFile(const char *cardPath, uint16_t *expected, uint16_t *computed)
{
    std::string path = halPath(cardPath);
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return -1;
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && st.st_size > (off_t)sizeof layoutLoadBuffer) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: %s is %lld bytes, more than the %d of a layout file: not loaded",
                   __func__, path.c_str(), (long long)st.st_size, (int)sizeof layoutLoadBuffer);
        fclose(file);
        return -1;
    }
    memset(layoutLoadBuffer, 0, sizeof layoutLoadBuffer);
    size_t got = fread(layoutLoadBuffer, 1, sizeof layoutLoadBuffer, file);
    fclose(file);
    if (got < sizeof layoutLoadBuffer) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: %s is %zu bytes, less than the %d of a layout file: not loaded",
                   __func__, path.c_str(), got, (int)sizeof layoutLoadBuffer);
        return 2;
    }
    *expected = layoutFileCheckWord(layoutLoadBuffer);
    *computed = crc16Ccitt(layoutLoadBuffer, LAYOUT_DATA_SIZE);
    return *expected == *computed ? 1 : 0;
}

static int layoutLoad(void)
{
    privateLayoutData *data = layoutGetPrivateData();
    uint16_t expected = 0, computed = 0;
    int found = layoutReadFile(LAYOUT_FILE, &expected, &computed);
    if (found >= 0)
        LAYOUT_LOG(LOG4C_PRIORITY_INFO, "LayoutManager: loading: control structure!");
    if (found == 1) {
        memcpy(data, layoutLoadBuffer, LAYOUT_DATA_SIZE);
        return LAYOUT_RESULT_OK;
    }
    if (found == 0)
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR,
                   "LayoutManager: CRC error found on layout.bin! crc expected =  0x%04x, crc calculated =  0x%04x",
                   expected, computed);

    /* Nothing half-loaded stays live: a failed load leaves zero settings. */
    memset(data, 0, sizeof *data);
    found = layoutReadFile(LAYOUT_DEFAULT_FILE, &expected, &computed);
    if (found < 0) {
        const char *text = "LayoutManager: ERROR ERROR ERROR!!! Not loaded ANY default bin BIG PROBLEMS MAY arise!";
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s", text);
        printf("%s\n", text);
        return LAYOUT_RESULT_FAILED;
    }
    LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "LayoutManager: loading: a default control structure.");
    if (found == 2)
        return LAYOUT_RESULT_FAILED;
    if (found == 0) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR,
                   "LayoutManager: ERROR!!! CRC error found on layout_default.bin! crc expected =  0x%04x, crc "
                   "calculated =  0x%04x",
                   expected, computed);
        printf("LayoutManager: ERROR!!! CRC error found on layout_default.bin! crc expected =  0x%04x, crc calculated "
               "=  0x%04x\n",
               expected, computed);
        return LAYOUT_RESULT_FAILED;
    }
    memcpy(data, layoutLoadBuffer, LAYOUT_DATA_SIZE);
    return LAYOUT_RESULT_OK;
}

static int layoutWriteAll(int fd, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        ssize_t wrote = write(fd, bytes, length);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return -1;
        bytes += wrote;
        length -= (size_t)wrote;
    }
    return 0;
}

/*
 * Writes a temporary file beside "layout.bin" and renames it over the old one,
 * so that a failed save never leaves a half-written file behind.
 */
static int layoutSave(void)
{
    std::string path = halPath(LAYOUT_FILE);
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "LayoutManager: Can't open save layout file %s", path.c_str());
        return LAYOUT_RESULT_FAILED;
    }
    const uint8_t *data = (const uint8_t *)layoutGetPrivateData();
    uint16_t crc = crc16Ccitt(data, LAYOUT_DATA_SIZE);
    uint8_t checkWord[2] = {(uint8_t)(crc & 0xFF), (uint8_t)(crc >> 8)};
    int failed = fchmod(fd, 0644) != 0 || layoutWriteAll(fd, data, LAYOUT_DATA_SIZE) != 0 ||
                 layoutWriteAll(fd, checkWord, sizeof checkWord) != 0 || fsync(fd) != 0;
    int error = errno;
    if (close(fd) != 0 && !failed) {
        failed = 1;
        error = errno;
    }
    if (!failed && rename(temporary.c_str(), path.c_str()) != 0) {
        failed = 1;
        error = errno;
    }
    if (failed) {
        LAYOUT_LOG(LOG4C_PRIORITY_ERROR, "%s: LayoutManager: failed to save layout file %s: %s", __func__, path.c_str(),
                   strerror(error));
        unlink(temporary.c_str());
        return LAYOUT_RESULT_FAILED;
    }
    return LAYOUT_RESULT_OK;
}

int layoutLoadSaveData(int mode)
{
    if (mode == 0)
        return layoutLoad();
    if (mode == 1)
        return layoutSave();
    return LAYOUT_RESULT_OK;
}
