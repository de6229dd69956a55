#include "strata/strataPrivate.h"

#include "fwEnv/fwEnv.h"
#include "hal/hal.h"
#include "platform/platform.h"
#include "utilsHost/utilsHost.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

/*
 * What the link needs of its neighbouring frame-controller subsystems: the
 * platform's answers and status reports, the card menu, the NqAsi/ATDM
 * answers, the MEM_BLOCK text, the update routines, the button and time
 * listeners and the typed boot-environment parameters. The platform answers,
 * menu and NqAsi records answer as a card that serves none of them; the
 * boot-environment, update and listener operations do their work.
 */

#define PEND_LOG(priority, ...) log4c_category_log(strataCategory(), priority, __VA_ARGS__)

/* ---- platform answers and reports ---- */

void platformStrataDoWeHandleMenu(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: the QVS application shows the card menu", __func__);
}

void platformStrataPreServiceInit(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: identity and MEM_BLOCK keys left at their defaults",
                       __func__);
}

void platformStrataChanged(log4c_category_t *category, uint16_t opcode, uint32_t value)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: controller value 0x%04X = %u", __func__, opcode, value);
}

int getControllerCapabilitiesAnotherWay(log4c_category_t *category, uint8_t *capabilities)
{
    (void)category;
    (void)capabilities;
    return -1;
}

int menuMessageHandler(uint32_t source, uint16_t opcode, const uint8_t *data, uint32_t length)
{
    (void)source;
    (void)data;
    (void)length;
    PEND_LOG(LOG4C_PRIORITY_WARN, "%s: no card menu for opcode 0x%04X", __func__, opcode);
    return 0;
}

void platformStrataMenuRootInit(log4c_category_t *category, void *menuRoot, const char *cardLabel)
{
    (void)menuRoot;
    (void)cardLabel;
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: no card menu", __func__);
}

void platformSetMemBlockEvent(uint32_t changed)
{
    PEND_LOG(LOG4C_PRIORITY_INFO, "%s: MEM_BLOCK changed %u", __func__, changed);
}

void platformCallScript(uint32_t flag)
{
    if (flag == 0)
        halRunCommand("trigBackup.sh");
}

/* ---- update routines ---- */

static const char updateLockPath[] = "/var/lock/updateManager.lock";
static std::atomic<int> updateLockTaken{0};
static std::atomic<int> updateLockReleased{0};

int platformGetUpdateManagerLock(log4c_category_t *category)
{
    std::string path = halPath(updateLockPath);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        int saved = errno;
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "FUM: %s: Couldn't get the upgrade lock (%s) for this card. There's another update "
                           "happening. (open() errno %d = %s)",
                           __func__, updateLockPath, saved, strerror(saved));
        if (!updateLockTaken)
            return 1;
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "FUM: %s: The lock exists and fw had already set it. Accepting the lock.", __func__);
        return 0;
    }
    char id[10] = {};
    snprintf(id, sizeof id, "%lu", (unsigned long)(pthread_self() % 1000000000UL));
    if (write(fd, id, sizeof id) != (ssize_t)sizeof id)
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: short write to %s", __func__, updateLockPath);
    close(fd);
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "FUM: %s: We got the upgrade lock (%s)! Continuing the FUM update.",
                       __func__, updateLockPath);
    updateLockTaken = 1;
    updateLockReleased = 0;
    return 0;
}

int platformReleaseUpdateManagerLock(log4c_category_t *category)
{
    if (updateLockTaken) {
        int rc = halRunCommand("rm -f /var/lock/updateManager.lock");
        unlink(halPath(updateLockPath).c_str());
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "FUM: %s: We are removing the upgrade lock (%s)!", __func__,
                           updateLockPath);
        updateLockTaken = 0;
        updateLockReleased = 1;
        return rc;
    }
    if (!updateLockReleased)
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "FUM: %s: We did not set the upgrade lock (%s) therefore were not removing it.", __func__,
                           updateLockPath);
    return 0;
}

int platformStartFtpServer(log4c_category_t *category, uint16_t port)
{
    halRunCommand("/etc/init.d/vsftpd stop");
    if (port != 0) {
        char text[8];
        snprintf(text, sizeof text, "%u", port);
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "FUM: Going to modify the file /etc/vsftpd.conf with the new port information. pasv_enable "
                           "= Yes, pasv_max_port = %s, pasv_min_port = %s",
                           text, text);
        std::string conf = halPath("/etc/vsftpd.conf");
        utils_setKeyValueToFile(category, conf.c_str(), "pasv_enable", "Yes");
        utils_setKeyValueToFile(category, conf.c_str(), "pasv_max_port", text);
        utils_setKeyValueToFile(category, conf.c_str(), "pasv_min_port", text);
    }
    return halRunCommand("/etc/init.d/vsftpd start");
}

int platformStopFtpServer(log4c_category_t *category)
{
    (void)category;
    return halRunCommand("/etc/init.d/vsftpd stop");
}

int platformStartFumUpdate(log4c_category_t *category)
{
    std::string status = halPath("/tmp/fum-update-status");
    if (access(status.c_str(), F_OK) == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "FUM: Deleting update-status file; /tmp/fum-update-status");
        halRunCommand("rm /tmp/fum-update-status");
        unlink(status.c_str());
    }
    return halRunCommand("/sbin/fum-update.sh /upgrade/fum-ftp/in > /var/log/fum-update.log 2>&1 </dev/null &");
}

int platformReadFumUpdateStatus(log4c_category_t *category, uint32_t *state, uint32_t *progress, char *text,
                                uint32_t textSize)
{
    (void)category;
    FILE *in = fopen(halPath("/tmp/fum-update-status").c_str(), "r");
    if (!in)
        return -1;
    char line[128];
    int lines = 0;
    if (fgets(line, sizeof line, in)) {
        *state = (uint32_t)strtoul(line, nullptr, 0);
        lines++;
    }
    if (fgets(line, sizeof line, in)) {
        *progress = (uint32_t)strtoul(line, nullptr, 0);
        lines++;
    }
    if (fgets(line, sizeof line, in)) {
        line[strcspn(line, "\r\n")] = 0;
        snprintf(text, textSize, "%s", line);
        lines++;
    }
    fclose(in);
    return lines == 3 ? 0 : -1;
}

int platformUpgradeNeedsReboot(void)
{
    return 1;
}

void platformUpgradeReboot(log4c_category_t *category)
{
    rebootCard(category, PLATFORM_REBOOT_CONFIRMATION);
}

/* ---- MEM_BLOCK ---- */

static const char *const memBlockKeys[] = {"ipaddr", "netmask", "gatewayip", "frameipaddr", "sfp1disable",
                                           "sfp2disable"};

int getStrataConfigProperties(char *buffer, uint32_t size, log4c_category_t *category)
{
    uint32_t used = 0;
    int item = 0;
    for (const char *key : memBlockKeys) {
        char value[256] = "";
        if (fwEnvGetEnvCopy(key, value, sizeof value) != 0)
            value[0] = 0;
        char line[300];
        int n = snprintf(line, sizeof line, "%s=%s\n", key, value);
        if (n < 0 || used + (uint32_t)n > size) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: env variables too big for MEM_BLOCK", __func__);
            break;
        }
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG,
                           "%s: property item %d: Extracted from current ENV Vars: %s = %s", __func__, item++, key,
                           value);
        memcpy(buffer + used, line, (size_t)n);
        used += (uint32_t)n;
    }
    return (int)used;
}

int compareMemBlock(const char *text, uint32_t length, log4c_category_t *category)
{
    (void)text;
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: MEM_BLOCK of %u bytes not compared; nothing written",
                       __func__, length);
    return 0;
}

/* ---- typed boot-environment parameters ---- */

static int strataSetEnv(const char *name, const char *value, log4c_category_t *category)
{
    const char *argv[3] = {"fw_setenv", name, value};
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: updating %s = %s", __func__, name, value);
    return fwEnvSetEnv(3, argv) == 0 ? 0 : -1;
}

int setIpParameter(const char *name, const uint8_t value[4], log4c_category_t *category)
{
    char text[16];
    snprintf(text, sizeof text, "%d.%d.%d.%d", value[0], value[1], value[2], value[3]);
    return strataSetEnv(name, text, category);
}

int getIpParameter(const char *name, uint8_t out[4], log4c_category_t *category)
{
    char value[64];
    unsigned a, b, c, d;
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0 || sscanf(value, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    out[0] = (uint8_t)a;
    out[1] = (uint8_t)b;
    out[2] = (uint8_t)c;
    out[3] = (uint8_t)d;
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: %s=%d.%d.%d.%d", __func__, name, a, b, c, d);
    return 0;
}

int setParameterUint16(const char *name, const uint8_t value[2], log4c_category_t *category)
{
    char text[8];
    snprintf(text, sizeof text, "%d", value[0] << 8 | value[1]);
    return strataSetEnv(name, text, category);
}

int getParameterUint16(const char *name, uint8_t out[2], log4c_category_t *category)
{
    char value[32];
    char *end = nullptr;
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    unsigned long number = strtoul(value, &end, 10);
    if (end == value || number > 0xFFFF) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    out[0] = (uint8_t)(number >> 8);
    out[1] = (uint8_t)number;
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: %s=%lu", __func__, name, number);
    return 0;
}

int getMacParameter(const char *name, uint8_t out[6], log4c_category_t *category)
{
    char value[64];
    unsigned m[6];
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    if (sscanf(value, "%x.%x.%x.%x.%x.%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) == 6) {
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: %s format is with .", __func__, name);
    } else if (sscanf(value, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s unknown Mac Format %s", name, value);
        return 1;
    }
    for (int i = 0; i < 6; i++)
        out[i] = (uint8_t)m[i];
    return 0;
}

int setMacParameter(const char *name, const uint8_t value[6], log4c_category_t *category)
{
    char current[64] = "";
    int present = fwEnvGetEnvCopy(name, current, sizeof current) == 0;
    const char *format = "%02x:%02x:%02x:%02x:%02x:%02x";
    if (present && strchr(current, '.'))
        format = "%02x.%02x.%02x.%02x.%02x.%02x";
    else if (present && !strchr(current, ':')) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s unknown Mac Format %s", name, current);
        return -1;
    }
    char text[32];
    snprintf(text, sizeof text, format, value[0], value[1], value[2], value[3], value[4], value[5]);
    return strataSetEnv(name, text, category);
}

/* ---- button and time listeners ---- */

static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    void (*button)(uint32_t) = nullptr;
    log4c_category_t *buttonCategory = nullptr;
    void (*timeSync)(uint32_t) = nullptr;
    log4c_category_t *timeCategory = nullptr;
} strataListeners;

static void *detectStrataButton(void *argument)
{
    (void)argument;
    log4c_category_t *category = strataListeners.buttonCategory;
    std::string path = halPath("/dev/uio0");
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        log4c_category_log(category, LOG4C_PRIORITY_FATAL, "%s FATAL failed to open %s", __func__, "/dev/uio0");
        return nullptr;
    }
    for (;;) {
        uint32_t count = 0;
        if (read(fd, &count, sizeof count) < 1) {
            log4c_category_log(category, LOG4C_PRIORITY_FATAL, "%s FATAL could not read %s, errno %d", __func__,
                               "/dev/uio0", errno);
            break;
        }
        if (strataListeners.button)
            strataListeners.button(1);
    }
    close(fd);
    return nullptr;
}

static void *timeSync(void *argument)
{
    (void)argument;
    log4c_category_t *category = strataListeners.timeCategory;
    const char *text = getenv("TIME_REFRESH_IN_SECONDS");
    long period = text ? strtol(text, nullptr, 10) : 100000;
    if (period < 300)
        period = 300;
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s is set with timedelay %ld Sec", __func__, period);
    for (;;) {
        sleep((unsigned)period);
        strataListeners.timeSync(0);
    }
    return nullptr;
}

void registerStrataButtonListener(void (*callback)(uint32_t pressCount), log4c_category_t *category)
{
    pthread_mutex_lock(&strataListeners.mutex);
    if (strataListeners.button) {
        pthread_mutex_unlock(&strataListeners.mutex);
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s registerStrataCardStatus was called already. Ignored",
                           __func__);
        return;
    }
    strataListeners.button = callback;
    strataListeners.buttonCategory = category;
    pthread_mutex_unlock(&strataListeners.mutex);
    if (halStartDetachedThread(detectStrataButton, nullptr, nullptr) != 0) {
        strata_close();
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to start thread", __func__);
    }
}

void registerTimeSyncListener(void (*callback)(uint32_t argument), log4c_category_t *category)
{
    pthread_mutex_lock(&strataListeners.mutex);
    if (strataListeners.timeSync) {
        pthread_mutex_unlock(&strataListeners.mutex);
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s registerTimeSyncListener was called already. Ignored",
                           __func__);
        return;
    }
    strataListeners.timeSync = callback;
    strataListeners.timeCategory = category;
    pthread_mutex_unlock(&strataListeners.mutex);
    if (halStartDetachedThread(timeSync, nullptr, nullptr) != 0) {
        strata_close();
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed to start thread", __func__);
    }
}
