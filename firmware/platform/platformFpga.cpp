#include "platform/platformPrivate.h"

#include "hal/hal.h"
#include "utils/utils.h"
#include "utilsHost/utilsHost.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

unsigned platformReprogramCountdownSeconds = 30;
unsigned platformRebootPauseSeconds = 10;

#define UPDATE_SCRIPT "tclsh /sbin/update_FPGA.tcl"

static const struct {
    const char *name;
    const char *versionFile;
    const char *bitStream;
    const char *doneMarker;
} fpgaFiles[] = {
    {"FSM", "/usr/local/q7/firmware/fsm_top_version.txt", "/usr/local/q7/firmware/fsm_top.bit",
     "/usr/local/q7/firmware/fsm_update.done"},
    {"DPS", "/usr/local/q7/firmware/dps_top_version.txt", "/usr/local/q7/firmware/dps_top.bit",
     "/usr/local/q7/firmware/dps_update.done"},
};

static const platformFpgaVersion_t builtInFsm = {18, 1, 14404};
static const platformFpgaVersion_t builtInDps = {13, 4, 11536};

static bool sameVersion(const platformFpgaVersion_t &a, const platformFpgaVersion_t &b)
{
    return a.major == b.major && a.minor == b.minor && a.build == b.build;
}

static bool fileExists(const char *cardPath)
{
    struct stat st;
    return stat(halPath(cardPath).c_str(), &st) == 0;
}

int platformFpgaVersionReadFromSd(uint32_t fpgaId, platformFpgaVersion_t *version)
{
    log4c_category_t *category = platformRecord.category;
    const char *fn = "platformFpgaVersionReadFromSd";
    if (fpgaId > 1 || !version) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s wrong fpga id, must be FSM or DPS!", fn);
        return 0;
    }
    const auto &files = fpgaFiles[fpgaId];
    if (!fileExists(files.bitStream)) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s %s file does not exist!", fn, files.bitStream);
        return 0;
    }
    int fd = open(halPath(files.versionFile).c_str(), O_RDONLY);
    if (fd < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to open %s file %s!", fn, files.name,
                           files.versionFile);
        return 0;
    }
    char text[101];
    ssize_t length = read(fd, text, 100);
    close(fd);
    if (length < 0)
        length = 0;
    text[length] = '\0';
    if (length < 2) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s %s version info:%s is it too short?", fn, files.name, text);
    } else if (text[length - 1] == '\n') {
        text[--length] = '\0';
        if (length > 0 && text[length - 1] == '\r') {
            text[--length] = '\0';
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s WINDOWS line ending is found in %s, ignoring!", fn,
                               files.versionFile);
        } else {
            log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s UNIX line ending is found in %s, ignoring!", fn,
                               files.versionFile);
        }
    }
    unsigned major = 0, minor = 0, build = 0;
    if (sscanf(text, "%u_%u_%u", &major, &minor, &build) != 3) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s version format could be wrong, it should be like version_revision_buildnumber!", fn);
        return 0;
    }
    char printed[64];
    snprintf(printed, sizeof printed, "%u_%u_%u", (uint16_t)major, (uint16_t)minor, (uint16_t)build);
    if (strcmp(printed, text) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s version scanned error: original:%s, scanned:%s!", fn,
                           text, printed);
        return 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s %s version in %s is good: original:%s, scanned:%s!", fn,
                       files.name, files.versionFile, text, printed);
    version->major = (uint16_t)major;
    version->minor = (uint16_t)minor;
    version->build = (uint16_t)build;
    return 1;
}

static void *platformStrataLedCtrlForRerogramFpgaThreadEntry(void *argument)
{
    (void)argument;
    log4c_category_t *category = platformRecord.category;
    /* The frame LED in Red/Green: red and green in turn, one blink half each. */
    const uint32_t ledId = LED_ID_FRAME, colour = LED_COLOUR_RED_GREEN, state = LED_STATE_ON_BLINK;
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "%s: LED indicator thread created pid is %u, will flashing the Strata LED in RED until "
                       "reprogramming FPGA is done ",
                       __func__, (unsigned)pthread_self());
    for (;;) {
        if (platformRecord.versionCheckDone == 1) {
            log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: LED indicator thread finished its job, exiting ...",
                               __func__);
            return nullptr;
        }
        if (platformConfig.reprogramming == 1) {
            platformCtrlLed(2, ledId, colour, state);
            usleep(500000);
            platformCtrlLed(3, ledId, colour, state);
            usleep(500000);
        } else {
            usleep(30000);
        }
    }
}

static void platformStartThreadLedIndicatorForRerogramFpga(void)
{
    log4c_category_t *category = platformRecord.category;
    if (platformRecord.ledIndicatorStarted) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                           "%s(): thread for control the LED for reprogram the FPGA has been launched", __func__);
        return;
    }
    int rc = halStartDetachedThread(platformStrataLedCtrlForRerogramFpgaThreadEntry, nullptr, nullptr);
    if (rc != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s(): failed to create thread for control the LED for reprogram the FPGA", __func__);
        return;
    }
    platformRecord.ledIndicatorStarted = 1;
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "%s(): succeeded to create thread for control the LED for reprogram the FPGA", __func__);
}

int platformFpgaVersionCheckExecute(const platformFpgaVersion_t *fileVersion, uint32_t fpgaId)
{
    log4c_category_t *category = platformRecord.category;
    const char *fn = "platformFpgaVersionCheckExecute";
    if (!fileVersion || fpgaId > 1)
        return 0;
    const auto &files = fpgaFiles[fpgaId];
    const platformFpgaVersion_t &running = fpgaId == PLATFORM_FPGA_FSM ? platformRecord.fsmVersion
                                                                        : platformRecord.dpsVersion;
    if (sameVersion(running, *fileVersion)) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s %s version match bitstream file!", fn, files.name);
        return 0;
    }
    if (fileExists(files.doneMarker)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s %s has been reprogrammed, but it still does not match bit stream version!!! We won't "
                           "reprogram it again!",
                           fn, files.name);
        return 0;
    }
    platformConfig.reprogramming = 1;
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "%s %s version running is different from version on the SD card, starting reprogram %s in %d "
                       "seconds!",
                       fn, files.name, files.name, (int)platformReprogramCountdownSeconds);
    for (unsigned left = platformReprogramCountdownSeconds; left > 0; left--) {
        sleep(1);
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s %d seconds left to start reprogramming %s!", fn,
                           (int)left, files.name);
    }
    platformRecord.versionCheckDone = 0;
    platformStartThreadLedIndicatorForRerogramFpga();
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s Reprogramming %s is in progress, please wait ...!", fn,
                       files.name);
    char command[256];
    snprintf(command, sizeof command, "%s %s %s", UPDATE_SCRIPT, files.bitStream, files.name);
    int status = runCommand(category, command);
    int marker = open(halPath(files.doneMarker).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (marker < 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Cant open save fpga update done file", fn);
    else
        close(marker);
    if (status != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s Reprogramming %s failed, %s returned value %d!", fn,
                           files.name, UPDATE_SCRIPT, status);
        return 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s Reprogramming %s is Done!", fn, files.name);
    return 1;
}

void platformFpgaVersionCheck(log4c_category_t *category)
{
    platformFpgaVersion_t dpsFile = {0, 0, 0}, fsmFile = {0, 0, 0};
    int dpsGood = platformFpgaVersionReadFromSd(PLATFORM_FPGA_DPS, &dpsFile);
    if (dpsGood)
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s DPS: %d.%d.%d", __func__, dpsFile.major, dpsFile.minor,
                           dpsFile.build);
    else
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s Ignoring DPS bitstream version checking ", __func__);
    int fsmGood = platformFpgaVersionReadFromSd(PLATFORM_FPGA_FSM, &fsmFile);
    if (fsmGood)
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s FSM: %d.%d.%d", __func__, fsmFile.major, fsmFile.minor,
                           fsmFile.build);
    else
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s Ignoring FSM bitstream version checking ", __func__);
    if (dpsGood && fsmGood)
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: FPGA version of bit stream on card, DPS %d.%d.%d, FSM: %d.%d.%d ",
                           __func__, dpsFile.major, dpsFile.minor, dpsFile.build, fsmFile.major, fsmFile.minor,
                           fsmFile.build);
    const platformFpgaVersion_t &dps = platformRecord.dpsVersion;
    const platformFpgaVersion_t &fsm = platformRecord.fsmVersion;
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: FPGA version running in the system, DPS %d.%d.%d, FSM: %d.%d.%d ",
                       __func__, dps.major, dps.minor, dps.build, fsm.major, fsm.minor, fsm.build);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: FPGA version built-in by firmware,  DPS %d.%d.%d, FSM: %d.%d.%d ",
                       __func__, builtInDps.major, builtInDps.minor, builtInDps.build, builtInFsm.major,
                       builtInFsm.minor, builtInFsm.build);
    int reprogrammed = 0;
    if (dpsGood)
        reprogrammed |= platformFpgaVersionCheckExecute(&dpsFile, PLATFORM_FPGA_DPS);
    if (fsmGood)
        reprogrammed |= platformFpgaVersionCheckExecute(&fsmFile, PLATFORM_FPGA_FSM);
    platformConfig.reprogramming = 0;
    platformRecord.versionCheckDone = 1;
    if (!sameVersion(dps, builtInDps))
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s DPS version built in firmware is different from running DPS, firmware may not work properly!",
                           __func__);
    if (!sameVersion(fsm, builtInFsm))
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s FSM version built in firmware is different from running FSM, firmware may not work properly!",
                           __func__);
    if (!reprogrammed) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s FPGA version check is done, continue starting ... ",
                           __func__);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s FPGA has been reprogrammed, rebooting card!", __func__);
    sync();
    rebootCard(category, PLATFORM_REBOOT_CONFIRMATION);
    sleep(platformRebootPauseSeconds);
}
