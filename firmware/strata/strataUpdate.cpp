#include "strata/strataPrivate.h"

#include "hal/hal.h"
#include "platform/platform.h"
#include "utilsHost/utilsHost.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/*
 * The frame update manager's routines on the card: the update lock shared
 * with other processes, the FTP server the controller uploads to, the update
 * script and its status file, and the backup programs run around a MEM_BLOCK
 * transfer.
 */

static const char updateLockPath[] = "/var/lock/updateManager.lock";
static const char updateStatusPath[] = "/tmp/fum-update-status";
static std::atomic<int> updateLockTaken{0};
static std::atomic<int> updateLockReleased{0};

/* The lock's content: the calling thread's id as decimal text, padded with NUL bytes to 10 bytes. */
void strataFormatLockOwner(char out[10])
{
    memset(out, 0, 10);
    /* the kernel's thread id has at most 7 digits; a pthread_t is a 64-bit address and would not fit */
    snprintf(out, 10, "%ld", (long)syscall(SYS_gettid));
}

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
    char id[10];
    strataFormatLockOwner(id);
    if (write(fd, id, sizeof id) != (ssize_t)sizeof id)
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: short write to %s", __func__, updateLockPath);
    close(fd);
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "FUM: %s: We got the upgrade lock (%s)! Continuing the FUM update.", __func__, updateLockPath);
    updateLockTaken = 1;
    updateLockReleased = 0;
    return 0;
}

int platformReleaseUpdateManagerLock(log4c_category_t *category)
{
    if (updateLockTaken) {
        int rc = runCommand(category, "rm -f /var/lock/updateManager.lock");
        halCommandRemovedFile(updateLockPath);
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "FUM: %s: We are removing the upgrade lock (%s)!",
                           __func__, updateLockPath);
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

void strataUpdateLockReset(void)
{
    updateLockTaken = 0;
    updateLockReleased = 0;
}

int platformStartFtpServer(log4c_category_t *category, uint16_t port)
{
    runCommand(category, "/etc/init.d/vsftpd stop");
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
    return runCommand(category, "/etc/init.d/vsftpd start");
}

int platformStopFtpServer(log4c_category_t *category)
{
    return runCommand(category, "/etc/init.d/vsftpd stop");
}

int platformStartFumUpdate(log4c_category_t *category)
{
    std::string status = halPath(updateStatusPath);
    if (access(status.c_str(), F_OK) == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "FUM: Deleting update-status file; /tmp/fum-update-status");
        runCommand(category, "rm /tmp/fum-update-status");
        halCommandRemovedFile(updateStatusPath);
    }
    /* "&>" is not /bin/sh syntax: it would background the script and truncate the log */
    return runCommand(category, "/sbin/fum-update.sh /upgrade/fum-ftp/in > /var/log/fum-update.log 2>&1 </dev/null &");
}

/* One line, kept to its first 54 characters (the rest of a longer line is skipped); 0, or -1 at the end of the file. */
static int statusLine(FILE *in, char line[55])
{
    int c = getc(in);
    if (c == EOF)
        return -1;
    size_t used = 0;
    for (; c != EOF && c != '\n'; c = getc(in)) {
        if (used < 54 && c != '\r')
            line[used++] = (char)c;
    }
    line[used] = 0;
    return 0;
}

int platformReadFumUpdateStatus(log4c_category_t *category, uint32_t *state, uint32_t *progress, char *text,
                                uint32_t textSize)
{
    (void)category;
    FILE *in = fopen(halPath(updateStatusPath).c_str(), "r");
    if (!in)
        return -1;
    char line[55];
    int lines = 0;
    if (statusLine(in, line) == 0) {
        *state = (uint32_t)strtoul(line, nullptr, 0);
        lines++;
        if (statusLine(in, line) == 0) {
            snprintf(text, textSize, "%s", line);
            lines++;
            if (statusLine(in, line) == 0) {
                *progress = (uint32_t)strtoul(line, nullptr, 0);
                lines++;
            }
        }
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

void platformCallScript(uint32_t flag)
{
    if (flag != 0)
        return;
    const char *const argv[] = {"trigBackup.sh", nullptr};
    char output[256];
    int status = halRunProgram(argv, output, sizeof output);
    log4c_category_log(strataCategory(), LOG4C_PRIORITY_INFO, "%s: trigBackup.sh ended with status %d", __func__,
                       status);
}

int platformCreateDbBackup(const char *name, char *out, uint32_t size)
{
    if (!name || !out || size == 0)
        return -1;
    out[0] = 0;
    /* the name reaches dumpDb as one argument: nothing in it is read by a shell */
    const char *const argv[] = {"dumpDb", name, nullptr};
    char output[100];
    int status = halRunProgram(argv, output, sizeof output);
    if (status == -1) {
        perror("platformCreateDbBackup");
        return -1;
    }
    size_t start = strspn(output, " \t\r\n");
    size_t length = strcspn(output + start, " \t\r\n");
    if (length == 0 || length >= size)
        return -1;
    memcpy(out, output + start, length);
    out[length] = 0;
    return 0;
}
