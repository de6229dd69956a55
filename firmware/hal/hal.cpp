#include "hal/hal.h"

#include "hal/halPrivate.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>
#include <netinet/in.h>
#include <log4c.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

static log4c_category_t *halCategory(void)
{
    static log4c_category_t *category = log4c_category_get("ulm.firmware.hal");
    return category;
}

std::string halCardRoot(void)
{
    const char *root = getenv("KVR_ROOT");
    return root ? std::string(root) : std::string();
}

int halUnderCardRoot(void)
{
    return halCardRoot().empty() ? 0 : 1;
}

uint32_t halServerBindAddress(void)
{
    return halUnderCardRoot() ? INADDR_LOOPBACK : INADDR_ANY;
}

int halCommandRemovedFile(const char *cardPath)
{
    if (!halUnderCardRoot() || !cardPath || cardPath[0] != '/')
        return 0;
    if (unlink(halPath(cardPath).c_str()) != 0 && errno != ENOENT)
        return -1;
    return 0;
}

std::string halPath(const char *cardPath)
{
    if (!cardPath)
        return std::string();
    if (cardPath[0] != '/')
        return std::string(cardPath);
    return halCardRoot() + cardPath;
}

void halRecord(const char *fmt, ...)
{
    if (!halUnderCardRoot())
        return;
    std::string dir = halPath("/var/log");
    mkdir(halPath("/var").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    FILE *log = fopen((dir + "/hal.log").c_str(), "a");
    if (!log)
        return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    /* One write per line so that concurrent writers never interleave inside a line. */
    std::string text = std::string(line) + "\n";
    fwrite(text.data(), 1, text.size(), log);
    fclose(log);
}

static int isExecutable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111);
}

/*
 * The command line as it runs under a card root: absolute words moved below
 * the root, and a bare program name replaced by its stand-in in bin/ or usr/bin/.
 * Empty when the program has no stand-in.
 */
static std::string standInCommand(const char *command)
{
    std::istringstream in(command);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    if (words.empty())
        return std::string();

    std::string root = halCardRoot();
    std::string program;
    if (words[0][0] == '/') {
        program = root + words[0];
    } else {
        for (const char *dir : {"/bin/", "/usr/bin/", "/sbin/"}) {
            if (isExecutable(root + dir + words[0])) {
                program = root + dir + words[0];
                break;
            }
        }
    }
    if (program.empty() || !isExecutable(program))
        return std::string();

    std::string line = program;
    for (size_t i = 1; i < words.size(); i++)
        line += " " + (words[i][0] == '/' ? root + words[i] : words[i]);
    return line;
}

/*
 * Runs "/bin/sh -c line" and waits for it. Unlike system() it leaves every
 * signal disposition of the process alone: other threads may install handlers
 * or receive signals while the command runs. The child inherits the calling
 * thread's signal mask and the ignored signals, as under system().
 */
static int halShell(const char *line)
{
    char *const argv[] = {(char *)"sh", (char *)"-c", (char *)"--", (char *)line, nullptr};
    pid_t child;
    int rc = posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ);
    if (rc != 0) {
        log4c_category_log(halCategory(), LOG4C_PRIORITY_ERROR, "%s: cannot start /bin/sh for \"%s\": %s", __func__,
                           line, strerror(rc));
        errno = rc;
        return -1;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == child ? status : -1;
}

int halRunCommand(const char *command)
{
    if (!command)
        return -1;
    if (!halUnderCardRoot())
        return halShell(command);

    halRecord("command %s", command);
    std::string line = standInCommand(command);
    if (line.empty()) {
        log4c_category_log(halCategory(), LOG4C_PRIORITY_DEBUG,
                           "%s: no stand-in for \"%s\", recorded only", __func__, command);
        return 0; /* what system() returns for a program that exited 0 */
    }
    return halShell(line.c_str());
}

/* The stand-in of a program below the card root, or "" when there is none. */
static std::string standInProgram(const char *program)
{
    std::string root = halCardRoot();
    if (program[0] == '/')
        return isExecutable(root + program) ? root + program : std::string();
    for (const char *dir : {"/bin/", "/usr/bin/", "/sbin/"})
        if (isExecutable(root + dir + program))
            return root + dir + program;
    return std::string();
}

int halRunProgram(const char *const argv[], char *out, size_t size)
{
    if (out && size)
        out[0] = 0;
    if (!argv || !argv[0])
        return -1;
    std::string program = argv[0];
    if (halUnderCardRoot()) {
        std::string line;
        for (int i = 0; argv[i]; i++)
            line += (i ? " " : "") + std::string(argv[i]);
        halRecord("program %s", line.c_str());
        program = standInProgram(argv[0]);
        if (program.empty())
            return 0;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t child;
    int rc = posix_spawnp(&child, program.c_str(), &actions, nullptr, (char *const *)argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        log4c_category_log(halCategory(), LOG4C_PRIORITY_ERROR, "%s: cannot start %s: %s", __func__, argv[0],
                           strerror(rc));
        errno = rc;
        return -1;
    }
    size_t used = 0;
    char chunk[256];
    for (;;) {
        ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (out && size > 1 && used < size - 1) {
            size_t take = (size_t)got < size - 1 - used ? (size_t)got : size - 1 - used;
            memcpy(out + used, chunk, take);
            used += take;
            out[used] = 0;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == child ? status : -1;
}

int halReboot(void)
{
    if (!halUnderCardRoot()) {
        sync();
        return reboot(RB_AUTOBOOT);
    }
    halRecord("reboot");
    std::string standIn = halPath("/sbin/reboot");
    if (isExecutable(standIn))
        return halShell(standIn.c_str()) == -1 ? -1 : 0;
    return 0;
}

int halSetSystemTime(const struct timeval *tv)
{
    if (!tv) {
        errno = EINVAL;
        return -1;
    }
    if (!halUnderCardRoot())
        return settimeofday(tv, nullptr);
    halRecord("settime %lld.%06ld", (long long)tv->tv_sec, (long)tv->tv_usec);
    return 0;
}

int halStartDetachedThread(void *(*entry)(void *), void *argument, pthread_t *thread)
{
    pthread_t started;
    pthread_attr_t attributes;
    int rc = pthread_attr_init(&attributes);
    if (rc != 0)
        return rc;
    rc = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (rc == 0)
        rc = pthread_create(&started, &attributes, entry, argument);
    pthread_attr_destroy(&attributes);
    if (rc == 0 && thread)
        *thread = started;
    return rc;
}

int halSetRealtime(int priority)
{
    if (halUnderCardRoot()) {
        halRecord("realtime %d", priority);
        return -1;
    }
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = priority;
    int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (rc != 0) {
        log4c_category_log(halCategory(), LOG4C_PRIORITY_WARN,
                           "%s: SCHED_FIFO %d not permitted (%s), staying at normal priority",
                           __func__, priority, strerror(rc));
        return -1;
    }
    return 0;
}

/*
 * Device handles. A handle indexes this table; its row says whether the node
 * was opened on the host (a descriptor) or through the backend installed at
 * the time (a backend handle). Rows are reused once closed.
 */
namespace {
struct halDeviceRow_t {
    int inUse;
    const halDeviceBackend_t *backend; /* null: descriptor is a host file descriptor */
    int descriptor;
};
enum { HAL_DEVICE_ROWS = 256 };
pthread_mutex_t halDeviceMutex = PTHREAD_MUTEX_INITIALIZER;
halDeviceRow_t halDeviceRows[HAL_DEVICE_ROWS];
const halDeviceBackend_t *halDeviceBackend = nullptr;
} // namespace

void halSetDeviceBackend(const halDeviceBackend_t *backend)
{
    pthread_mutex_lock(&halDeviceMutex);
    halDeviceBackend = backend;
    pthread_mutex_unlock(&halDeviceMutex);
}

/* Copies the row of a handle; 0 when the handle is open, else -1 with errno EBADF. */
static int halDeviceLookup(int handle, halDeviceRow_t *row)
{
    int rc = -1;
    pthread_mutex_lock(&halDeviceMutex);
    if (handle >= 0 && handle < HAL_DEVICE_ROWS && halDeviceRows[handle].inUse) {
        *row = halDeviceRows[handle];
        rc = 0;
    }
    pthread_mutex_unlock(&halDeviceMutex);
    if (rc != 0)
        errno = EBADF;
    return rc;
}

/* "socket" names the SPI emulator's channel whatever else serves the devices. */
static const char HAL_SPI_SOCKET_DEVICE[] = "socket";

int halDeviceOpen(const char *cardPath)
{
    if (cardPath && strcmp(cardPath, HAL_SPI_SOCKET_DEVICE) == 0)
        return halDeviceOpenWith(&halSpiSocketBackend, cardPath);
    if (cardPath && halUnderCardRoot() && strcmp(cardPath, HAL_NET_PROBING_DEVICE) == 0)
        return halDeviceOpenWith(&halNetProbingBackend, cardPath);
    pthread_mutex_lock(&halDeviceMutex);
    const halDeviceBackend_t *backend = halDeviceBackend;
    pthread_mutex_unlock(&halDeviceMutex);
    return halDeviceOpenWith(backend, cardPath);
}

int halDeviceOpenSocket(int port)
{
    char cardPath[32];
    snprintf(cardPath, sizeof cardPath, "%s:%d", HAL_SPI_SOCKET_DEVICE, port);
    return halDeviceOpenWith(&halSpiSocketBackend, cardPath);
}

int halDeviceOpenWith(const halDeviceBackend_t *backend, const char *cardPath)
{
    if (!cardPath) {
        errno = EINVAL;
        return -1;
    }
    pthread_mutex_lock(&halDeviceMutex);
    int handle = -1;
    for (int i = 0; i < HAL_DEVICE_ROWS; i++) {
        if (!halDeviceRows[i].inUse) {
            handle = i;
            break;
        }
    }
    if (handle < 0) {
        pthread_mutex_unlock(&halDeviceMutex);
        errno = EMFILE;
        return -1;
    }
    /* Reserve the row before the (possibly slow) open, outside the lock. */
    halDeviceRows[handle].inUse = 1;
    halDeviceRows[handle].backend = backend;
    halDeviceRows[handle].descriptor = -1;
    pthread_mutex_unlock(&halDeviceMutex);

    int descriptor = backend ? backend->open(backend->context, cardPath)
                             : open(halPath(cardPath).c_str(), O_RDWR | O_CLOEXEC);
    int openErrno = errno;
    pthread_mutex_lock(&halDeviceMutex);
    if (descriptor < 0)
        halDeviceRows[handle].inUse = 0;
    else
        halDeviceRows[handle].descriptor = descriptor;
    pthread_mutex_unlock(&halDeviceMutex);
    if (descriptor < 0) {
        errno = openErrno;
        return -1;
    }
    return handle;
}

int halDeviceClose(int handle)
{
    halDeviceRow_t row;
    if (halDeviceLookup(handle, &row) != 0)
        return -1;
    pthread_mutex_lock(&halDeviceMutex);
    halDeviceRows[handle].inUse = 0;
    pthread_mutex_unlock(&halDeviceMutex);
    if (row.backend)
        return row.backend->close(row.backend->context, row.descriptor);
    return close(row.descriptor);
}

/* A backend without the operation answers as a device node without it would. */
static int halNotSupported(void)
{
    errno = ENOTTY;
    return -1;
}

int halSpiTransfer(int handle, const uint8_t *tx, uint8_t *rx, size_t length)
{
    halDeviceRow_t row;
    if (halDeviceLookup(handle, &row) != 0)
        return -1;
    if (row.backend)
        return row.backend->spiTransfer ? row.backend->spiTransfer(row.backend->context, row.descriptor, tx, rx, length)
                                        : halNotSupported();
    struct spi_ioc_transfer transfer;
    memset(&transfer, 0, sizeof transfer);
    transfer.tx_buf = (unsigned long)tx;
    transfer.rx_buf = (unsigned long)rx;
    transfer.len = (uint32_t)length;
    return ioctl(row.descriptor, SPI_IOC_MESSAGE(1), &transfer) < 0 ? -1 : 0;
}

int halI2cSetSlave(int handle, uint16_t slave)
{
    halDeviceRow_t row;
    if (halDeviceLookup(handle, &row) != 0)
        return -1;
    if (row.backend)
        return row.backend->i2cSetSlave ? row.backend->i2cSetSlave(row.backend->context, row.descriptor, slave)
                                        : halNotSupported();
    return ioctl(row.descriptor, I2C_SLAVE, (unsigned long)slave) < 0 ? -1 : 0;
}

int halI2cTransfer(int handle, halI2cMessage_t *messages, int count)
{
    halDeviceRow_t row;
    if (halDeviceLookup(handle, &row) != 0)
        return -1;
    if (count < 0 || (count > 0 && !messages) || count > I2C_RDWR_IOCTL_MAX_MSGS) {
        errno = EINVAL;
        return -1;
    }
    if (row.backend)
        return row.backend->i2cTransfer ? row.backend->i2cTransfer(row.backend->context, row.descriptor, messages, count)
                                        : halNotSupported();
    struct i2c_msg kernelMessages[I2C_RDWR_IOCTL_MAX_MSGS];
    for (int i = 0; i < count; i++) {
        kernelMessages[i].addr = messages[i].slave;
        kernelMessages[i].flags = (messages[i].flags & HAL_I2C_READ) ? I2C_M_RD : 0;
        kernelMessages[i].len = messages[i].length;
        kernelMessages[i].buf = messages[i].buffer;
    }
    struct i2c_rdwr_ioctl_data data;
    data.msgs = kernelMessages;
    data.nmsgs = (uint32_t)count;
    return ioctl(row.descriptor, I2C_RDWR, &data) < 0 ? -1 : 0;
}

ssize_t halDeviceRead(int handle, void *buffer, size_t length)
{
    halDeviceRow_t row;
    if (halDeviceLookup(handle, &row) != 0)
        return -1;
    if (row.backend)
        return row.backend->read ? row.backend->read(row.backend->context, row.descriptor, buffer, length)
                                 : halNotSupported();
    return read(row.descriptor, buffer, length);
}

ssize_t halDeviceWrite(int handle, const void *buffer, size_t length)
{
    halDeviceRow_t row;
    if (halDeviceLookup(handle, &row) != 0)
        return -1;
    if (row.backend)
        return row.backend->write ? row.backend->write(row.backend->context, row.descriptor, buffer, length)
                                  : halNotSupported();
    return write(row.descriptor, buffer, length);
}

int halI2cWrite(int handle, const uint8_t *data, size_t length)
{
    halDeviceRow_t row;
    if (halDeviceLookup(handle, &row) != 0)
        return -1;
    if (row.backend)
        return row.backend->i2cWrite ? row.backend->i2cWrite(row.backend->context, row.descriptor, data, length)
                                     : halNotSupported();
    return (int)write(row.descriptor, data, length);
}
