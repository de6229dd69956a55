#include "strata/strataPrivate.h"

#include "hal/hal.h"
#include "platform/platform.h"
#include "utils/utils.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <string>
#include <unistd.h>

/*
 * Execution of the firmware's own controller messages: link messages, replies
 * to the card's timed queries, label, restore point, MEM_BLOCK, network and
 * time records, and the upgrade protocol of the frame update manager.
 */

enum {
    UPGRADE_MODE_NORMAL = 0,
    UPGRADE_MODE_ENTERED = 1,
    UPGRADE_MODE_FTP = 2,
    UPGRADE_MODE_UPDATING = 3,
    UPGRADE_STATUS_READY = 1,
    UPGRADE_STATUS_UPDATING = 2,
    UPGRADE_STATUS_COMPLETED = 0xF0,
    UPGRADE_STATUS_FAILED = 0xF1,
    UPGRADE_STATUS_STOPPED = 0xF4,
    UPGRADE_STATUS_TIMEOUT = 0xF5,
    UPGRADE_STATUS_READ_TRIES = 30,
    UPGRADE_TEXT_MAX = 55,
    TIME_SAMPLES_LOGGED = 5,
    TIME_SAMPLES_TRUSTED = 3,
    TIME_SAMPLE_MAX_DELAY_MS = 500,
    STRATA_OPCODE_RESTORE_POINT_FIRST = 0x0120,
    STRATA_RESTORE_POINT_OPCODES = 4,
};

/* Registered once at init by the restore-point store, read by the receiver. */
static strataRestorePointHandler_t restorePointHandlers[STRATA_RESTORE_POINT_OPCODES];

void strataRegisterRestorePointHandlers(const strataRestorePointHandler_t handlers[4])
{
    for (int i = 0; i < STRATA_RESTORE_POINT_OPCODES; i++)
        restorePointHandlers[i] = handlers[i];
}

static struct {
    pthread_mutex_t modeMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t statusMutex = PTHREAD_MUTEX_INITIALIZER;
    uint32_t upgradeMode = UPGRADE_MODE_NORMAL;
    uint32_t upgradeStatus = UPGRADE_STATUS_READY;
    std::atomic<uint32_t> threadRan{0};
    pthread_t upgradeThread = pthread_t();
    int upgradeThreadJoinable = 0;
    std::atomic<uint32_t> rebootAfterUpgrade{0};
    uint16_t ftpDataPort = 0;
    uint8_t upgradePortAsker = 0;
    uint32_t timeSamples = 0;
    struct {
        uint8_t interfaceIndex, second;
        uint32_t address, netmask, gateway;
        uint8_t mac[6];
    } ipRecord[2] = {};
} strataExec;

#define EXEC_LOG(priority, ...) log4c_category_log(strataCategory(), priority, __VA_ARGS__)

static uint32_t be32(const uint8_t *b)
{
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

void setUpgradeStatus(uint32_t value)
{
    pthread_mutex_lock(&strataExec.statusMutex);
    strataExec.upgradeStatus = value;
    pthread_mutex_unlock(&strataExec.statusMutex);
}

uint32_t strataGetUpgradeStatus(void)
{
    pthread_mutex_lock(&strataExec.statusMutex);
    uint32_t value = strataExec.upgradeStatus;
    pthread_mutex_unlock(&strataExec.statusMutex);
    return value;
}

void setUpgradeMode(uint32_t value)
{
    pthread_mutex_lock(&strataExec.modeMutex);
    strataExec.upgradeMode = value;
    pthread_mutex_unlock(&strataExec.modeMutex);
}

uint32_t strataGetUpgradeMode(void)
{
    pthread_mutex_lock(&strataExec.modeMutex);
    uint32_t value = strataExec.upgradeMode;
    pthread_mutex_unlock(&strataExec.modeMutex);
    return value;
}

void strataJoinUpgradeThread(void)
{
    if (strataExec.upgradeThreadJoinable) {
        pthread_join(strataExec.upgradeThread, nullptr);
        strataExec.upgradeThreadJoinable = 0;
    }
}

void strataExecuteReset(void)
{
    strataJoinUpgradeThread();
    setUpgradeMode(UPGRADE_MODE_NORMAL);
    setUpgradeStatus(UPGRADE_STATUS_READY);
    strataExec.rebootAfterUpgrade = 0;
    strataExec.timeSamples = 0;
}

void sendUpgradeStatus(uint32_t address, uint8_t status, uint8_t progress, const char *text,
                       uint32_t textLengthWithTerminator)
{
    uint8_t message[2 + UPGRADE_TEXT_MAX] = {status, progress};
    uint32_t size = 3;
    if (text && textLengthWithTerminator > 0) {
        uint32_t n = textLengthWithTerminator > (uint32_t)UPGRADE_TEXT_MAX ? (uint32_t)UPGRADE_TEXT_MAX : textLengthWithTerminator;
        memcpy(message + 2, text, n - 1);
        message[2 + n - 1] = 0;
        size = 2 + n;
    }
    strata_sendmsg(STRATA_MSG_REPORT, address, STRATA_OPCODE_UPGRADE_STATUS, message, size);
    EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Sent upgrade_status(0x%02X).", status);
}

static void strataSendStatus(uint32_t address, uint32_t status)
{
    setUpgradeStatus(status);
    sendUpgradeStatus(address, (uint8_t)status, 0, nullptr, 0);
}

/* ---- upgrade thread ---- */

static void *upgradeThreadEntry(void *argument)
{
    uint32_t address = (uint32_t)(uintptr_t)argument;
    strataExec.threadRan = 1;
    EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Upgrade thread started.");
    strataSendStatus(address, UPGRADE_STATUS_UPDATING);
    EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Calling upgrade script...");
    if (platformStartFumUpdate(strataCategory()) != 0) {
        EXEC_LOG(LOG4C_PRIORITY_ERROR, "FUM: Error calling upgrade script.");
        setUpgradeStatus(UPGRADE_STATUS_FAILED);
    }
    char finalText[128] = "";
    uint32_t lastProgress = 0xFFFFFFFF;
    int failures = 0;
    while (strataGetUpgradeMode() == UPGRADE_MODE_UPDATING && strataGetUpgradeStatus() == UPGRADE_STATUS_UPDATING) {
        struct timespec pause = {(time_t)(strataTiming.upgradePollMs / 1000),
                                 (long)(strataTiming.upgradePollMs % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        uint32_t status = 0, progress = 0;
        char text[128] = "";
        if (platformReadFumUpdateStatus(strataCategory(), &status, &progress, text, sizeof text) != 0) {
            failures++;
            EXEC_LOG(LOG4C_PRIORITY_WARN, "FUM: Cannot access upgrade_status file...(err_cnt:%d, max %d)", failures,
                     UPGRADE_STATUS_READ_TRIES);
            if (failures < UPGRADE_STATUS_READ_TRIES)
                continue;
            status = UPGRADE_STATUS_TIMEOUT;
            progress = 100;
            snprintf(text, sizeof text, "%s", "Upgrade failed, timeout accessing upgrade status file.");
            EXEC_LOG(LOG4C_PRIORITY_ERROR, "FUM: %s", text);
        }
        failures = 0;
        setUpgradeStatus(status);
        if (progress != lastProgress)
            EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Upgrade (%.3d%%) %s", (int)progress, text);
        lastProgress = progress;
        if (status == UPGRADE_STATUS_UPDATING)
            sendUpgradeStatus(address, UPGRADE_STATUS_UPDATING, (uint8_t)progress, text, (uint32_t)strlen(text) + 1);
        else
            snprintf(finalText, sizeof finalText, "%s", text);
    }
    strataExec.threadRan = 0;
    uint32_t status = strataGetUpgradeStatus();
    if (status == UPGRADE_STATUS_COMPLETED) {
        strataExec.rebootAfterUpgrade = 1;
        EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Upgrade completed.");
    } else {
        if (status == UPGRADE_STATUS_UPDATING) {
            status = UPGRADE_STATUS_STOPPED;
            setUpgradeStatus(status);
        }
        EXEC_LOG(LOG4C_PRIORITY_ERROR, "FUM: Upgrade failed (0x%02X).", status);
    }
    if (strataGetUpgradeMode() != UPGRADE_MODE_ENTERED)
        setUpgradeMode(UPGRADE_MODE_ENTERED);
    EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Upgrade thread stopped.");
    if (finalText[0])
        sendUpgradeStatus(address, (uint8_t)status, 100, finalText, (uint32_t)strlen(finalText) + 1);
    else
        sendUpgradeStatus(address, (uint8_t)status, 100, nullptr, 0);
    platformReleaseUpdateManagerLock(strataCategory());
    return nullptr;
}

static void strataSetModeLogged(uint32_t mode)
{
    if (strataGetUpgradeMode() != mode)
        EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Upgrade mode set to 0x%02X", mode);
    setUpgradeMode(mode);
}

static void processUpgradeMode(uint32_t source, const uint8_t *data, uint32_t length)
{
    if (length < 1) {
        strata_send_nack(source, STRATA_NACK_WRONG_STATE);
        return;
    }
    uint8_t requested = data[0];
    EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Got upgrade_mode(0x%02X) message from 0x%02X.", requested, source);
    uint32_t mode = strataGetUpgradeMode();
    log4c_category_t *category = strataCategory();
    switch (requested) {
    case 0:
        if (mode == UPGRADE_MODE_UPDATING) {
            EXEC_LOG(LOG4C_PRIORITY_WARN,
                     "FUM: %s: Received STRATA_UPGRADE_MODE_END but we are in the middle of updating the card and "
                     "can't stop the update script. Therefore nacking busy this FUM msg and continuing old FUM.",
                     __func__);
            strata_send_nack(source, STRATA_NACK_BUSY);
            return;
        }
        strata_send_ack(source);
        if (mode == UPGRADE_MODE_FTP) {
            /* Leaving FTP mode: the server must not stay reachable. */
            if (platformStopFtpServer(category) == 0)
                EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: FTP server stopped.");
            strataSetModeLogged(UPGRADE_MODE_ENTERED);
            strataJoinUpgradeThread();
        }
        if (mode != UPGRADE_MODE_NORMAL)
            strataSendStatus(source, UPGRADE_STATUS_READY);
        return;
    case 2:
        if (mode >= UPGRADE_MODE_FTP) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return;
        }
        if (platformGetUpdateManagerLock(category) != 0) {
            EXEC_LOG(LOG4C_PRIORITY_WARN,
                     "FUM: %s: Couldn't get the upgrade lock for this card. There's another update happening. "
                     "Telling Vigilo Nack busy.",
                     __func__);
            strata_send_nack(source, STRATA_NACK_BUSY);
            return;
        }
        strata_send_ack(source);
        strataSetModeLogged(UPGRADE_MODE_ENTERED);
        strataSendStatus(source, UPGRADE_STATUS_READY);
        return;
    case 16:
        if (mode == UPGRADE_MODE_FTP) {
            strata_send_ack(source);
            EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: Upgrade mode already set to 0x%02X", mode);
            strataSendStatus(source, UPGRADE_STATUS_READY);
            return;
        }
        if (mode != UPGRADE_MODE_ENTERED) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return;
        }
        {
            int rc = platformStartFtpServer(category, strataExec.ftpDataPort);
            strata_send_ack(source);
            strataSetModeLogged(UPGRADE_MODE_FTP);
            if (rc == 0) {
                EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: FTP server started.");
                strataSendStatus(source, UPGRADE_STATUS_READY);
                return;
            }
            static const char failed[] = "Failed to start FTP server.";
            EXEC_LOG(LOG4C_PRIORITY_ERROR, "FUM: %s", failed);
            EXEC_LOG(LOG4C_PRIORITY_ERROR, "FUM: system() returned %d", rc);
            setUpgradeStatus(UPGRADE_STATUS_FAILED);
            sendUpgradeStatus(source, UPGRADE_STATUS_FAILED, 0, failed, sizeof failed);
            strataSetModeLogged(UPGRADE_MODE_ENTERED);
        }
        return;
    case 1:
        if (mode != UPGRADE_MODE_FTP) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return;
        }
        strata_send_ack(source);
        strataSetModeLogged(UPGRADE_MODE_UPDATING);
        {
            int rc = platformStopFtpServer(category);
            if (rc == 0)
                EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: FTP server stopped.");
            else
                EXEC_LOG(LOG4C_PRIORITY_ERROR, "FUM: Failed to stop FTP server, system() returned %d.", rc);
        }
        strataJoinUpgradeThread();
        setUpgradeStatus(UPGRADE_STATUS_UPDATING);
        if (pthread_create(&strataExec.upgradeThread, nullptr, upgradeThreadEntry, (void *)(uintptr_t)source) == 0)
            strataExec.upgradeThreadJoinable = 1;
        else
            EXEC_LOG(LOG4C_PRIORITY_ERROR, "FUM: Cannot start upgrade thread.");
        return;
    case 10:
        if (mode >= UPGRADE_MODE_FTP) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return;
        }
        strata_send_ack(source);
        if (mode == UPGRADE_MODE_NORMAL)
            return;
        platformReleaseUpdateManagerLock(category);
        strataSetModeLogged(UPGRADE_MODE_NORMAL);
        if (strataExec.rebootAfterUpgrade.exchange(0) && platformUpgradeNeedsReboot()) {
            EXEC_LOG(LOG4C_PRIORITY_WARN, "FUM: %s: STRATA_UPGRADE_MODE_APP rebooting", __func__);
            sync();
            platformUpgradeReboot(category);
        }
        return;
    default:
        return;
    }
}

/* ---- upgrade port ---- */

static void strataGetUpgradePort(uint32_t source)
{
    EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: %s: Received GET_UPGRADE_PORT.", __func__);
    strata_send_ack(source);
    if (!platformAreWeUsingVlan(strataCategory())) {
        uint8_t reply[7] = {};
        getIpParameter("frameipaddr", reply + 1, strataCategory());
        strata_sendmsg(STRATA_MSG_REPLY, source, 0x0151, reply, sizeof reply);
        return;
    }
    strataExec.upgradePortAsker = (uint8_t)source;
    EXEC_LOG(LOG4C_PRIORITY_INFO,
             "FUM: %s: Using Vlan, first get the FTP Port from Strata Controller. Sending GET_FTP_UPGRADE_PORTS.",
             __func__);
    strata_sendmsg(STRATA_MSG_REPLY, STRATA_CONTROLLER_ADDRESS, 0x305D, nullptr, 0);
}

static void strataFtpUpgradePorts(uint32_t source, const uint8_t *data)
{
    EXEC_LOG(LOG4C_PRIORITY_INFO, "FUM: %s: Received FTP_UPGRADE_PORTS.", __func__);
    strata_send_ack(source);
    EXEC_LOG(LOG4C_PRIORITY_INFO,
             "FUM: %s: Received FTP_UPGRADE_PORTS. FTP Command Port 0x%02x%02x, FTP Data Port 0x%02x%02x.", __func__,
             data[0], data[1], data[2], data[3]);
    strataExec.ftpDataPort = (uint16_t)(data[2] << 8 | data[3]);
    uint8_t reply[7] = {0, 0, 0, 0, 0, data[0], data[1]};
    strata_sendmsg(STRATA_MSG_REPLY, strataExec.upgradePortAsker, 0x0151, reply, sizeof reply);
}

/* ---- time ---- */

static void strataWriteTimestamp(const uint8_t *data)
{
    int year = data[0] << 8 | data[1];
    char text[32];
    int n = snprintf(text, sizeof text, "%.2i%.2i%.2i%.2i%.4i", data[2], data[3], data[4], data[5], year);
    std::string path = halPath("/data/timestamp");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        EXEC_LOG(LOG4C_PRIORITY_ERROR, "Could not create /data/timestamp, failed with error [%s]\n", strerror(errno));
        return;
    }
    if (write(fd, text, (size_t)n) != n)
        EXEC_LOG(LOG4C_PRIORITY_ERROR, "%s: short write to /data/timestamp", __func__);
    if (close(fd) != 0)
        EXEC_LOG(LOG4C_PRIORITY_ERROR, "Could not close file descriptor to /data/timestamp, failed with error [%s]\n",
                 strerror(errno));
}

static void strataSetTime(time_t seconds, uint32_t milliseconds)
{
    struct timeval value = {seconds, (suseconds_t)milliseconds * 1000};
    if (halSetSystemTime(&value) != 0)
        EXEC_LOG(LOG4C_PRIORITY_ERROR, "%s: could not set time to %d epoch time. errno %d = %s", __func__,
                 (int)seconds, errno, strerror(errno));
}

/* 1 when the TIME_V3 fields name a real moment the card's clock can take (years 2000-2099, as its lines print them). */
static int strataTimeV3InRange(int year, int month, int day, int hour, int minute, int second, int milliseconds)
{
    static const int daysIn[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || year > 2099 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59 ||
        milliseconds > 999)
        return 0;
    int leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    int lastDay = month == 2 && !leap ? 28 : daysIn[month - 1];
    return day >= 1 && day <= lastDay;
}

static void strataTimeV3(const uint8_t *data)
{
    int year = data[0] << 8 | data[1];
    int milliseconds = data[7] << 8 | data[8];
    if (!strataTimeV3InRange(year, data[2], data[3], data[4], data[5], data[6], milliseconds)) {
        EXEC_LOG(LOG4C_PRIORITY_ERROR,
                 "%s: refused a time out of range: year %d month %d day %d hour %d minute %d second %d "
                 "milliseconds %d; the clock is left alone",
                 __func__, year, data[2], data[3], data[4], data[5], data[6], milliseconds);
        return;
    }
    if (!strataTimeUpdatesNeeded()) {
        EXEC_LOG(LOG4C_PRIORITY_NOTICE, "%s: time updates are disabled (DISABLE_TIME_UPDATE); the clock is left alone",
                 __func__);
        return;
    }
    strataWriteTimestamp(data);
    struct tm when = {};
    when.tm_year = year - 1900;
    when.tm_mon = data[2] - 1;
    when.tm_mday = data[3];
    when.tm_hour = data[4];
    when.tm_min = data[5];
    when.tm_sec = data[6];
    when.tm_isdst = -1;
    time_t seconds = mktime(&when);
    if (seconds == (time_t)-1) {
        EXEC_LOG(LOG4C_PRIORITY_WARN, "%s: could not mktime params provide by Strata not ok tv_sec is %d!", __func__,
                 (int)seconds);
        EXEC_LOG(LOG4C_PRIORITY_WARN, "%s: setting time info is year is %d month is %d day is %d", __func__, year,
                 data[2], data[3]);
        EXEC_LOG(LOG4C_PRIORITY_WARN, "%s: setting time info is hour is %d min is %d sec is %d", __func__, data[4],
                 data[5], data[6]);
        return;
    }
    int logIt = strataExec.timeSamples < TIME_SAMPLES_LOGGED;
    if (!logIt) {
        time_t now = time(nullptr);
        if (now == (time_t)-1)
            EXEC_LOG(LOG4C_PRIORITY_ERROR, "%s: could not get local time. errno %d = %s!", __func__, errno,
                     strerror(errno));
        else if (difftime(seconds, now) >= 2 || difftime(now, seconds) >= 2)
            logIt = 1;
        else
            EXEC_LOG(LOG4C_PRIORITY_DEBUG, "%s: Not logging update time. Local %d seconds, New %d seconds, diff time %.f.",
                     __func__, (int)now, (int)seconds, difftime(seconds, now));
    }
    if (strataExec.timeSamples < TIME_SAMPLES_LOGGED)
        strataExec.timeSamples++;
    if (logIt)
        EXEC_LOG(LOG4C_PRIORITY_INFO,
                 "%s: The new date and time received is 20%02d,%02d,%02d %02d:%02d:%02d:%03d. LogCount %d of %d.",
                 __func__, year % 100, data[2], data[3], data[4], data[5], data[6], (int)milliseconds,
                 (int)strataExec.timeSamples, TIME_SAMPLES_LOGGED);
    struct timespec sentAt;
    int outstanding = strataTimeRequestTake(&sentAt);
    if (strataExec.timeSamples >= TIME_SAMPLES_TRUSTED && outstanding) {
        int negative = 0;
        uint64_t since = utils_getTimeDiff(strataCategory(), &sentAt, &negative);
        if (negative || since >= (uint64_t)TIME_SAMPLE_MAX_DELAY_MS * 1000) {
            if (negative)
                EXEC_LOG(LOG4C_PRIORITY_WARN,
                         "%s: Not updating date and time! The message GET_TIME_V3 was sent after the TIME_V3 was "
                         "received. Ignoring time sample.",
                         __func__);
            else
                EXEC_LOG(LOG4C_PRIORITY_WARN,
                         "%s: Not updating date and time! TIME_V3 message was received %llu ms after it was "
                         "requested. Normally it should be within 7ms. Ignoring time sample.",
                         __func__, (unsigned long long)(since / 1000));
            EXEC_LOG(LOG4C_PRIORITY_WARN, "%s: Did not update the time after getting TIME_V3 message.", __func__);
            return;
        }
    }
    if (logIt)
        EXEC_LOG(LOG4C_PRIORITY_INFO,
                 "%s: Setting new date and time to 20%02d,%02d,%02d %02d:%02d:%02d:%03d. LogCount %d of %d.", __func__,
                 year % 100, data[2], data[3], data[4], data[5], data[6], (int)milliseconds,
                 (int)strataExec.timeSamples, TIME_SAMPLES_LOGGED);
    strataSetTime(seconds, milliseconds);
}

/* ---- reply slots ---- */

static void storeFrameStatus(strataReplySlots_t *s, const uint8_t *d, uint32_t)
{
    s->frameStatus[0] = d[1];
    s->frameStatus[1] = d[0];
    memcpy(s->frameStatus + 2, d + 2, 6);
}
static void storeRestoreConfig(strataReplySlots_t *s, const uint8_t *d, uint32_t) { s->restorePointConfig = d[0]; }
static void storeFrameType(strataReplySlots_t *s, const uint8_t *d, uint32_t) { s->frameType = d[0]; }
static void storeCapabilities(strataReplySlots_t *s, const uint8_t *d, uint32_t) { s->capabilities = d[0]; }
static void storeVlan2(strataReplySlots_t *s, const uint8_t *d, uint32_t length)
{
    if (d)
        memcpy(s->vlan2CardIp, d, length);
    else
        s->vlan2CardIp[0] = 0xFF;
}
static void storeFrameIp(strataReplySlots_t *s, const uint8_t *d, uint32_t) { s->frameIp[d[0]] = be32(d + 2); }

static void strataIpConfigV2(uint32_t source, const uint8_t *data, uint32_t length)
{
    uint8_t index = data[0];
    if (index < 2) {
        strataExec.ipRecord[index].interfaceIndex = index;
        strataExec.ipRecord[index].second = data[1];
        strataExec.ipRecord[index].address = be32(data + 2);
        strataExec.ipRecord[index].netmask = be32(data + 6);
        strataExec.ipRecord[index].gateway = be32(data + 10);
        memcpy(strataExec.ipRecord[index].mac, data + 14, 6);
        /* The bridge gets the whole packet, as the controller sent it. */
        uint8_t packet[27];
        strataFramePacket(packet, (uint8_t)strataGetCardId(), (uint8_t)source, STRATA_OPCODE_IP_CONFIG_V2, data, 20, 0);
        strataHoldIpConfigPacket(index, packet, sizeof packet);
        strataReplyStore(storeFrameIp, data, length);
        EXEC_LOG(LOG4C_PRIORITY_INFO, "Received message IP_CONFIG_v2 data eth%d ip information!", index);
    } else {
        EXEC_LOG(LOG4C_PRIORITY_WARN, "Received message IP_CONFIG_v2 data eth%d not good!!!!!", index);
    }
    strata_send_ack(source);
}

static void strataVlan2CardIp(const uint8_t *data, uint32_t length)
{
    if (length >= 6)
        EXEC_LOG(LOG4C_PRIORITY_INFO,
                 "%s: Got VLAN2_CARD_IP. Device class %d, VLAN2 Prefix %d.%d.%d, NB Cards %d, card1 %d. Length %d ",
                 __func__, data[0], data[1], data[2], data[3], data[4], data[5], (int)length);
    if (length == 6 && data[0] == 0 && data[4] == 1) {
        EXEC_LOG(LOG4C_PRIORITY_INFO, "%s: Got VLAN2_CARD_IP. Received our VLAN2 IP Address %d.%d.%d.%d. ", __func__,
                 data[1], data[2], data[3], data[5]);
        strataReplyStore(storeVlan2, data, 6);
        return;
    }
    EXEC_LOG(LOG4C_PRIORITY_WARN,
             "%s: VLAN2_CARD_IP unsupported format. We do not support this Device Class, or Number of cards, or "
             "length is bad.",
             __func__);
    strataReplyStore(storeVlan2, nullptr, 0);
}

/* ---- MEM_BLOCK ---- */

static int strataSendMemBlock(uint8_t *buffer, uint32_t size, void *argument)
{
    uint32_t source = *(uint32_t *)argument;
    int length = getStrataConfigProperties((char *)buffer, size, strataCategory());
    if (length <= 0)
        return 0;
    strata_send_ack(source);
    strata_sendmsg(STRATA_MSG_REPLY, source, 0x0015, buffer, (uint32_t)length);
    return 1;
}

static void strataMemBlockRequest(uint32_t source)
{
    if (strataWithMemBlock(strataSendMemBlock, &source) != 1) {
        strata_send_nack(source, STRATA_NACK_INVALID);
        return;
    }
    platformCallScript(0);
}

static void strataSetMemBlock(uint32_t source, const uint8_t *data, uint32_t length)
{
    uint32_t identity = strataLinkConfiguration.identityB & 0xFFFF;
    if (length <= STRATA_PACKET_DATA_MAX && (uint32_t)(data[0] << 8 | data[1]) != identity) {
        strata_send_nack(source, STRATA_NACK_WRONG_CARD);
        return;
    }
    strata_send_ack(source);
    int changed = compareMemBlock((const char *)data + 2, length - 2, strataCategory());
    platformSetMemBlockEvent((uint32_t)changed);
}

/* ---- the message table ---- */

/* Fewest data bytes each handled opcode reads; shorter messages are answered NACK 10. */
static uint32_t strataMinimumLength(uint16_t opcode)
{
    switch (opcode) {
    case STRATA_OPCODE_NACK:
    case STRATA_OPCODE_COMM_STATE:
    case STRATA_OPCODE_UPGRADE_MODE:
    case STRATA_OPCODE_RESTORE_POINT_CONFIG:
    case STRATA_OPCODE_FRAME_TYPE:
    case STRATA_OPCODE_CAPABILITIES:
    case 0x0202:
    case 0x0206:
        return 1;
    case STRATA_OPCODE_SET_MEM_BLOCK:
        return 2;
    case 0x1018:
    case 0x305E:
        return 4;
    case STRATA_OPCODE_FRAME_STATUS:
        return 8;
    case STRATA_OPCODE_TIME_V3:
        return 9;
    case STRATA_OPCODE_IP_CONFIG_V2:
        return 20;
    default:
        return 0;
    }
}

static int strataIsMenuOpcode(uint16_t opcode)
{
    return opcode == 0x0005 || opcode == 0x0006 || opcode == 0x0020 || opcode == 0x0021 ||
           (opcode >= 0x0024 && opcode <= 0x0027);
}

/* 1 when the firmware's own table served the opcode. */
static int strataExecuteOwn(uint32_t source, uint16_t opcode, const uint8_t *data, uint32_t length)
{
    log4c_category_t *category = strataCategory();
    static const uint8_t zero = 0;
    switch (opcode) {
    case STRATA_OPCODE_ACK:
        EXEC_LOG(LOG4C_PRIORITY_DEBUG, "%s: Received ACK...source=%.2X", __func__, source);
        strataAckReceived(0xFF);
        return 1;
    case STRATA_OPCODE_NACK:
        EXEC_LOG(LOG4C_PRIORITY_DEBUG, "%s: Received NACK...source=%.2X, error=%.2X", __func__, source, data[0]);
        strataAckReceived(data[0]);
        return 1;
    case STRATA_OPCODE_COMM_STATE:
        strata_send_ack(source);
        strataSetCommState(data[0]);
        if (data[0] == 3 && strataTimeUpdatesNeeded())
            strata_sendmsg(STRATA_MSG_REQUEST, source, STRATA_OPCODE_GET_TIME_V3, nullptr, 0);
        return 1;
    case 0x000D:
        strata_sendmsg(STRATA_MSG_REPLY, source, 0x0007, &zero, 1);
        return 1;
    case 0x0010: {
        static const uint8_t pattern[3] = {0xFF, 0x55, 0xAA};
        EXEC_LOG(LOG4C_PRIORITY_INFO, "%s: Received  GET_COMM_TEST", __func__);
        strata_sendmsg(STRATA_MSG_REPLY, source, 0x0011, pattern, 3);
        return 1;
    }
    case 0x0012:
        strata_send_ack(source);
        strata_send_devid(STRATA_MSG_REPLY, source);
        return 1;
    case STRATA_OPCODE_DEV_ID:
    case 0x0018:
        strata_send_ack(source);
        return 1;
    case 0x0014:
        strataMemBlockRequest(source);
        return 1;
    case STRATA_OPCODE_SET_MEM_BLOCK:
        strataSetMemBlock(source, data, length);
        return 1;
    case STRATA_OPCODE_UPGRADE_MODE:
        processUpgradeMode(source, data, length);
        return 1;
    case STRATA_OPCODE_CARD_LABEL:
        if (length > STRATA_LABEL_SIZE) {
            strata_send_nack(source, STRATA_NACK_INVALID);
            EXEC_LOG(LOG4C_PRIORITY_WARN, "got invalid card label message");
            return 1;
        }
        strata_send_ack(source);
        strataSetCardLabel((const char *)data, (uint32_t)strnlen((const char *)data, length));
        return 1;
    case STRATA_OPCODE_FRAME_STATUS:
        strataReplyStore(storeFrameStatus, data, length);
        strata_send_ack(source);
        return 1;
    case STRATA_OPCODE_RESTORE_POINT_FIRST:
    case STRATA_OPCODE_RESTORE_POINT_FIRST + 1:
    case STRATA_OPCODE_RESTORE_POINT_FIRST + 2:
    case STRATA_OPCODE_RESTORE_POINT_FIRST + 3:
        if (restorePointHandlers[opcode - STRATA_OPCODE_RESTORE_POINT_FIRST])
            restorePointHandlers[opcode - STRATA_OPCODE_RESTORE_POINT_FIRST](category, source, data, length);
        return 1;
    case 0x0124:
        if (strataGetCommState() == 0 && length >= 1 && data[0] == 1) {
            strata_send_ack(source);
            strata_sendmsg(STRATA_MSG_REPLY, source, 0x0125, data, 1);
        } else {
            strata_send_nack(source, STRATA_NACK_INVALID);
        }
        return 1;
    case STRATA_OPCODE_TIME_V3:
        strataTimeV3(data);
        strata_send_ack(source);
        return 1;
    case 0x0150:
        strataGetUpgradePort(source);
        return 1;
    case 0x0152: {
        uint8_t status = (uint8_t)strataGetUpgradeStatus();
        strata_send_ack(source);
        strata_sendmsg(STRATA_MSG_REPLY, source, STRATA_OPCODE_UPGRADE_STATUS, &status, 1);
        return 1;
    }
    case 0x0200:
    case 0x0202:
    case 0x0206:
        if (!platformIsUsingNqAsiInputs()) {
            strata_send_nack(source, STRATA_NACK_NOT_SUPPORTED);
            return 1;
        }
        strata_send_ack(source);
        if (opcode == 0x0200) {
            uint8_t availability[4] = {};
            platformNqAsiAvailability(category, 0, availability);
            strata_sendmsg(STRATA_MSG_REPLY, source, 0x0201, availability, 4);
        } else if (opcode == 0x0202) {
            uint8_t record[17] = {};
            platformNqAsiCardTx(category, 0, data[0], record);
            strata_sendmsg(STRATA_MSG_REPORT, source, 0x0203, record, 17);
        } else {
            uint8_t answer[38] = {};
            platformAtdmAvailability(category, 0, data[0], answer);
            strata_sendmsg(STRATA_MSG_REPLY, source, 0x0207, answer, 38);
        }
        return 1;
    case 0x0218:
    case 0x021A:
        strata_send_nack(source, STRATA_NACK_NOT_SUPPORTED);
        return 1;
    case STRATA_OPCODE_IP_CONFIG_V2:
        strataIpConfigV2(source, data, length);
        return 1;
    case 0x1018: {
        struct timeval value = {(time_t)be32(data), 0};
        if (halSetSystemTime(&value) == 0)
            EXEC_LOG(LOG4C_PRIORITY_WARN, "%s: setting time to %d epoch time", __func__, (int)be32(data));
        else
            EXEC_LOG(LOG4C_PRIORITY_ERROR, "%s: could not set time to %d epoch time. errno %d", __func__,
                     (int)be32(data), errno);
        strata_send_ack(source);
        return 1;
    }
    case STRATA_OPCODE_RESTORE_POINT_CONFIG:
        EXEC_LOG(LOG4C_PRIORITY_INFO, "%s: Got RESTORE_POINT_CONFIG. Param 0 = %d", __func__, data[0]);
        strataReplyStore(storeRestoreConfig, data, length);
        strata_send_ack(source);
        return 1;
    case STRATA_OPCODE_FRAME_TYPE:
        strataReplyStore(storeFrameType, data, length);
        strata_send_ack(source);
        return 1;
    case 0x305E:
        strataFtpUpgradePorts(source, data);
        return 1;
    case STRATA_OPCODE_VLAN2_CARD_IP:
        strataVlan2CardIp(data, length);
        return 1;
    case STRATA_OPCODE_CAPABILITIES:
        EXEC_LOG(LOG4C_PRIORITY_INFO, "%s: Got CONTROLLER_CAPABILITIES. Payload 0x%02x. Length %d ", __func__, data[0],
                 (int)length);
        strataReplyStore(storeCapabilities, data, length);
        strata_send_ack(source);
        return 1;
    case 0xF01F:
        strata_send_ack(source);
        EXEC_LOG(LOG4C_PRIORITY_INFO, "SET_ETH_CONFIG_MAC received. Length %d", (int)length);
        platformStrataSetMACAddress(category, data, length);
        return 1;
    default:
        return 0;
    }
}

void strata_execute_message(uint32_t source, uint16_t opcode, const uint8_t *data, uint32_t length)
{
    EXEC_LOG(LOG4C_PRIORITY_INFO, "%s: strata messages received by firmware: 0x%04x", __func__, opcode);
    if (strataIsMenuOpcode(opcode) && strataLinkConfiguration.isStrataMenuHandledByFirmware) {
        if (!menuMessageHandler(source, opcode, data, length))
            strata_send_nack(source, STRATA_NACK_OVERFLOW);
    } else if (length < strataMinimumLength(opcode)) {
        EXEC_LOG(LOG4C_PRIORITY_WARN, "%s: opcode 0x%04X needs %u data bytes, got %u", __func__, opcode,
                 strataMinimumLength(opcode), length);
        strata_send_nack(source, STRATA_NACK_WRONG_STATE);
    } else if (strataExecuteOwn(source, opcode, data, length)) {
    } else if (defaultHandler(source, data, length, opcode)) {
        EXEC_LOG(LOG4C_PRIORITY_DEBUG, "%s: defaultHandler handled opcode 0x%04X", __func__, opcode);
    } else if (strataLinkConfiguration.privateHandler &&
               strataLinkConfiguration.privateHandler(source, data, length, opcode)) {
        EXEC_LOG(LOG4C_PRIORITY_DEBUG, "%s: userHandler handled opcode 0x%04X", __func__, opcode);
    } else {
        EXEC_LOG(LOG4C_PRIORITY_WARN, "%s: unhandled opcode 0x%04X", __func__, opcode);
        strata_send_nack(source, STRATA_NACK_NOT_SUPPORTED);
    }
    EXEC_LOG(LOG4C_PRIORITY_DEBUG, "out %s", __func__);
}
