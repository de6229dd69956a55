#include "fwEnv/fwEnv.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#define FW_ENV_CONFIG "/etc/fw_env.config"
/* Where shm_open keeps "/fwEnvSharedMem"; opened as a file so that it follows the card root. */
#define FW_ENV_SHARED_PATH "/dev/shm/fwEnvSharedMem"

enum {
    FW_ENV_CONFIG_MAX = 64 * 1024,  /* bytes of the configuration file read */
    FW_ENV_CONFIG_LINE_MAX = 254,   /* characters of one configuration line */
    FW_ENV_SIZE_MIN = 6,            /* a CRC word and one empty list */
    FW_ENV_SIZE_MAX = 1024 * 1024,  /* boot loaders keep 8 to 256 KiB: anything above 1 MiB is a broken line */
};

const char fwEnvDefaultEnvironment[] =
    "bootcmd=bootp; setenv bootargs root=/dev/nfs nfsroot=${serverip}:${rootpath} "
    "ip=${ipaddr}:${serverip}:${gatewayip}:${netmask}:${hostname}::off; bootm";

namespace {

struct fwEnvCopy_t {
    std::string device;
    unsigned long offset;
    unsigned long envSize;
    unsigned long sectorSize;
};

/* What a copy's device file and CRC word were at the last load: the same again means the same block. */
struct fwEnvStamp_t {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    uint32_t crc = 0;
    int readable = 0;
};

/* The loaded block. Guarded by the process-local mutex besides the shared one. */
struct {
    std::recursive_mutex local;
    fwEnvShared_t *shared = nullptr;
    int held = 0;
    std::vector<fwEnvCopy_t> copies;
    int redundant = 0;
    uint32_t crc = 0;
    std::vector<uint8_t> data;
    int loaded = 0;
    /* The configuration text last parsed, and whether it was taken (a refusal is printed once). */
    std::string configText;
    int configParsed = 0;
    int configOk = 0;
    std::vector<fwEnvStamp_t> stamps;
    std::mutex internMutex;
    std::set<std::string> interned;
} fwEnv;

size_t dataSize(const fwEnvCopy_t &copy, int redundant)
{
    size_t size = copy.envSize > 5 ? copy.envSize - (redundant ? 5 : 4) : 0;
    return size;
}

/* Reads the configuration file whole (it is a few lines); false when it cannot be opened. */
bool readConfigText(std::string *text)
{
    std::string path = halPath(FW_ENV_CONFIG);
    FILE *file = fopen(path.c_str(), "r");
    if (!file) {
        fprintf(stderr, "Cannot parse config file: %s\n", strerror(errno));
        return false;
    }
    text->clear();
    char chunk[4096];
    size_t got;
    /* A configuration is a few lines: what lies past 64 KiB is no configuration line anyway. */
    while (text->size() < FW_ENV_CONFIG_MAX && (got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text->append(chunk, got);
    fclose(file);
    return true;
}

/* An environment larger than any boot loader keeps, or too small for one entry, is no environment. */
bool plausibleSize(const fwEnvCopy_t &copy, int lineNumber)
{
    if (copy.envSize >= FW_ENV_SIZE_MIN && copy.envSize <= FW_ENV_SIZE_MAX)
        return true;
    fprintf(stderr,
            "Boot environment: line %d of %s: environment size 0x%lx of %s is not plausible (0x%x to 0x%x bytes): "
            "configuration refused, the boot environment is not read and every variable keeps its default\n",
            lineNumber, FW_ENV_CONFIG, copy.envSize, copy.device.c_str(), (unsigned)FW_ENV_SIZE_MIN,
            (unsigned)FW_ENV_SIZE_MAX);
    return false;
}

/* Parses the configuration text into fwEnv.copies. 0, or -1 with its message printed. */
int parseConfigText(const std::string &text)
{
    fwEnv.copies.clear();
    int lineNumber = 0;
    for (size_t at = 0; at < text.size() && fwEnv.copies.size() < FW_ENV_MAX_COPIES;) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        lineNumber++;
        if (line.size() > FW_ENV_CONFIG_LINE_MAX) {
            /* A line that does not fit is skipped whole, never read as two. */
            fprintf(stderr, "Line %d of %s is longer than %d characters: skipped\n", lineNumber, FW_ENV_CONFIG,
                    (int)FW_ENV_CONFIG_LINE_MAX);
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        char device[200];
        unsigned long offset = 0, envSize = 0, sectorSize = 0;
        int fields = sscanf(line.c_str(), "%199s %lx %lx %lx", device, &offset, &envSize, &sectorSize);
        if (fields < 3)
            continue;
        fwEnvCopy_t copy = {device, offset, envSize, sectorSize};
        if (!plausibleSize(copy, lineNumber)) {
            fwEnv.copies.clear();
            return -1;
        }
        fwEnv.copies.push_back(copy);
    }
    if (fwEnv.copies.empty()) {
        fprintf(stderr, "Cannot parse config file: %s\n", strerror(EINVAL));
        return -1;
    }
    fwEnv.redundant = fwEnv.copies.size() > 1;
    /* Every copy shares the data-area size of the first. */
    if (dataSize(fwEnv.copies[0], fwEnv.redundant) < 2) {
        fprintf(stderr, "Cannot parse config file: %s\n", strerror(EINVAL));
        fwEnv.copies.clear();
        return -1;
    }
    return 0;
}

/*
 * The configuration as parsed from the file's current text. A text seen
 * before is not parsed (nor its refusal printed) again. 0, or -1.
 */
int parseConfig(int *changed)
{
    std::string text;
    *changed = 1;
    if (!readConfigText(&text)) {
        fwEnv.configParsed = 0;
        return -1;
    }
    if (fwEnv.configParsed && text == fwEnv.configText) {
        *changed = 0;
        return fwEnv.configOk ? 0 : -1;
    }
    fwEnv.configText = text;
    fwEnv.configParsed = 1;
    fwEnv.configOk = parseConfigText(text) == 0;
    return fwEnv.configOk ? 0 : -1;
}

/* Reads the CRC word of a copy without its data area. */
int readCopyCrc(const fwEnvCopy_t &copy, uint32_t *crc);

/* The device file and CRC word of every copy as they are now. */
std::vector<fwEnvStamp_t> currentStamps(void)
{
    std::vector<fwEnvStamp_t> stamps(fwEnv.copies.size());
    for (size_t i = 0; i < fwEnv.copies.size(); i++) {
        struct stat st;
        if (stat(halPath(fwEnv.copies[i].device.c_str()).c_str(), &st) != 0)
            continue;
        stamps[i].dev = st.st_dev;
        stamps[i].ino = st.st_ino;
        stamps[i].size = st.st_size;
        stamps[i].mtime = st.st_mtim;
        stamps[i].readable = readCopyCrc(fwEnv.copies[i], &stamps[i].crc) == 0;
    }
    return stamps;
}

bool sameStamps(const std::vector<fwEnvStamp_t> &a, const std::vector<fwEnvStamp_t> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i].dev != b[i].dev || a[i].ino != b[i].ino || a[i].size != b[i].size ||
            a[i].mtime.tv_sec != b[i].mtime.tv_sec || a[i].mtime.tv_nsec != b[i].mtime.tv_nsec ||
            a[i].crc != b[i].crc || a[i].readable != b[i].readable || !a[i].readable)
            return false;
    }
    return true;
}

/* Why a read of `want` bytes gave `got`: its error, or how short it came. */
static std::string readFailure(ssize_t got, size_t want)
{
    if (got < 0)
        return strerror(errno);
    return "short read, " + std::to_string(got) + " of " + std::to_string(want) + " bytes";
}

/* Reads one copy's CRC and data area. 0, or -1 with its message printed. */
int readCopy(const fwEnvCopy_t &copy, uint32_t *crc, std::vector<uint8_t> &data)
{
    std::string path = halPath(copy.device.c_str());
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "Can't open %s: %s\n", copy.device.c_str(), strerror(errno));
        return -1;
    }
    int rc = -1;
    uint8_t crcBytes[4];
    ssize_t got = 0;
    if (lseek(fd, (off_t)copy.offset, SEEK_SET) == (off_t)-1)
        fprintf(stderr, "seek error on %s: %s\n", copy.device.c_str(), strerror(errno));
    else if ((got = read(fd, crcBytes, 4)) != 4)
        fprintf(stderr, "CRC read error on %s: %s\n", copy.device.c_str(), readFailure(got, 4).c_str());
    else if ((got = read(fd, data.data(), data.size())) != (ssize_t)data.size())
        fprintf(stderr, "Read error on %s: %s\n", copy.device.c_str(), readFailure(got, data.size()).c_str());
    else
        rc = 0;
    if (close(fd) != 0) {
        fprintf(stderr, "I/O error on %s: %s\n", copy.device.c_str(), strerror(errno));
        rc = -1;
    }
    if (rc == 0)
        *crc = (uint32_t)crcBytes[0] | (uint32_t)crcBytes[1] << 8 | (uint32_t)crcBytes[2] << 16 |
               (uint32_t)crcBytes[3] << 24;
    return rc;
}

int readCopyCrc(const fwEnvCopy_t &copy, uint32_t *crc)
{
    std::vector<uint8_t> none;
    return readCopy(copy, crc, none);
}

/* Writes the loaded block to every copy. 0, or -1. */
int writeBlock(void)
{
    uint8_t crcBytes[4] = {(uint8_t)fwEnv.crc, (uint8_t)(fwEnv.crc >> 8), (uint8_t)(fwEnv.crc >> 16),
                           (uint8_t)(fwEnv.crc >> 24)};
    for (const fwEnvCopy_t &copy : fwEnv.copies) {
        fprintf(stderr, "Writing environment to %s...\n", copy.device.c_str());
        std::string path = halPath(copy.device.c_str());
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0) {
            fprintf(stderr, "Can't open %s: %s\n", copy.device.c_str(), strerror(errno));
            return -1;
        }
        int rc = -1;
        if (lseek(fd, (off_t)copy.offset, SEEK_SET) == (off_t)-1)
            fprintf(stderr, "seek error on %s: %s\n", copy.device.c_str(), strerror(errno));
        else if (write(fd, crcBytes, 4) != 4)
            fprintf(stderr, "CRC write error on %s: %s\n", copy.device.c_str(), strerror(errno));
        else if (write(fd, fwEnv.data.data(), fwEnv.data.size()) != (ssize_t)fwEnv.data.size())
            fprintf(stderr, "I/O error on %s: %s\n", copy.device.c_str(), strerror(errno));
        else
            rc = 0;
        if (close(fd) != 0 && rc == 0) {
            fprintf(stderr, "I/O error on %s: %s\n", copy.device.c_str(), strerror(errno));
            rc = -1;
        }
        if (rc != 0)
            return -1;
        fprintf(stderr, "Done\n");
    }
    return 0;
}

void useDefault(void)
{
    fprintf(stderr, "Warning: Bad CRC, using default environment\n");
    std::fill(fwEnv.data.begin(), fwEnv.data.end(), 0);
    memcpy(fwEnv.data.data(), fwEnvDefaultEnvironment,
           std::min(fwEnv.data.size() - 2, sizeof fwEnvDefaultEnvironment - 1));
    fwEnv.crc = fwEnvCrc32(fwEnv.data.data(), fwEnv.data.size());
}

/* Writes the block and notes what the copies now are; a failed write leaves nothing loaded. */
int writeBlockAndStamp(void)
{
    int rc = writeBlock();
    if (rc == 0)
        fwEnv.stamps = currentStamps();
    else
        fwEnv.loaded = 0;
    return rc;
}

/* Reads the block from flash into fwEnv.data (see loadBlock). */
int readBlock(void)
{
    struct stat st;
    if (!fwEnv.redundant && stat(halPath(fwEnv.copies[0].device.c_str()).c_str(), &st) != 0) {
        fprintf(stderr, "Cannot access MTD device %s: %s\n", fwEnv.copies[0].device.c_str(), strerror(errno));
        return -1;
    }
    if (fwEnv.redundant && stat(halPath(fwEnv.copies[0].device.c_str()).c_str(), &st) != 0 &&
        stat(halPath(fwEnv.copies[1].device.c_str()).c_str(), &st) != 0) {
        fprintf(stderr, "Cannot access MTD device: %s\n", strerror(errno));
        return -1;
    }
    size_t size = dataSize(fwEnv.copies[0], fwEnv.redundant);
    fwEnv.data.assign(size, 0);

    uint32_t crc = 0;
    if (readCopy(fwEnv.copies[0], &crc, fwEnv.data) == 0 && crc == fwEnvCrc32(fwEnv.data.data(), size)) {
        fwEnv.crc = crc;
        return 0;
    }
    for (size_t i = 1; fwEnv.redundant && i < fwEnv.copies.size(); i++) {
        std::vector<uint8_t> other(size, 0);
        if (readCopy(fwEnv.copies[i], &crc, other) == 0 && crc == fwEnvCrc32(other.data(), size)) {
            fwEnv.data = other;
            fwEnv.crc = crc;
            writeBlock();
            return 0;
        }
    }
    useDefault();
    return 0;
}

/*
 * Loads the block into fwEnv.data. A copy whose CRC does not match is never
 * taken: only a copy that checks good is used and spread to the others; with
 * none the default environment stands in (and nothing is written). The block
 * is read again only when the configuration, a copy's device file or a
 * copy's CRC word changed since the last load: whoever rewrites the block
 * rewrites its CRC, and reading a few bytes is all a repeated read costs.
 */
int loadBlock(void)
{
    int configChanged = 1;
    if (parseConfig(&configChanged) != 0) {
        fwEnv.loaded = 0;
        return -1;
    }
    if (fwEnv.loaded && !configChanged && sameStamps(currentStamps(), fwEnv.stamps))
        return 0;
    fwEnv.loaded = 0;
    if (readBlock() != 0)
        return -1;
    fwEnv.stamps = currentStamps();
    fwEnv.loaded = 1;
    return 0;
}

/* Start of the value of `name` in the loaded data, or null. */
const char *searchLoaded(const char *name)
{
    if (!fwEnv.loaded || !name || !*name)
        return nullptr;
    size_t nameLength = strlen(name);
    const char *data = (const char *)fwEnv.data.data();
    size_t size = fwEnv.data.size();
    for (size_t at = 0; at < size && data[at] != '\0';) {
        const void *end = memchr(data + at, '\0', size - at);
        if (!end) {
            fprintf(stderr, "## Error: environment not terminated\n data ENV_SIZE : %i/n", (int)size);
            return nullptr;
        }
        size_t length = (const char *)end - (data + at);
        if (length > nameLength && memcmp(data + at, name, nameLength) == 0 && data[at + nameLength] == '=')
            return data + at + nameLength + 1;
        at += length + 1;
    }
    return nullptr;
}

const char *intern(const char *value)
{
    if (!value)
        return nullptr;
    std::lock_guard<std::mutex> lock(fwEnv.internMutex);
    return fwEnv.interned.insert(value).first->c_str();
}

/* Bytes of the entries in use (up to, not including, the closing empty string). */
size_t usedLength(void)
{
    const char *data = (const char *)fwEnv.data.data();
    size_t size = fwEnv.data.size();
    size_t at = 0;
    while (at < size && data[at] != '\0') {
        const void *end = memchr(data + at, '\0', size - at);
        if (!end)
            return size;
        at = (size_t)((const char *)end - data) + 1;
    }
    return at;
}

} // namespace

uint32_t fwEnvCrc32(const uint8_t *bytes, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void fwEnvInitMutex(void)
{
    {
        /* Once per process: a second mapping of the lock would only leak. */
        std::lock_guard<std::recursive_mutex> lock(fwEnv.local);
        if (fwEnv.shared)
            return;
    }
    std::string path = halPath(FW_ENV_SHARED_PATH);
    int created = 1;
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        created = 0;
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "Error, could not open %s. fd = %d. errno[%d] = %s\n", "/fwEnvSharedMem", fd, errno,
                    strerror(errno));
            return;
        }
    } else if (fd < 0) {
        fprintf(stderr, "Error, could not create %s. fd = %d. errno[%d] = %s\n", "/fwEnvSharedMem", fd, errno,
                strerror(errno));
        return;
    }
    if (ftruncate(fd, FW_ENV_SHARED_SIZE) != 0) {
        close(fd);
        return;
    }
    void *map = mmap(nullptr, FW_ENV_SHARED_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return;
    fwEnvShared_t *shared = (fwEnvShared_t *)map;
    if (created) {
        fprintf(stderr, "initialising the mutex.\n");
        shared->ready = 0;
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        /* A process that dies holding the lock must not block the others for ever. */
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&shared->mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
        shared->ready = 1;
        sleep(1);
    }
    std::lock_guard<std::recursive_mutex> lock(fwEnv.local);
    fwEnv.shared = shared;
}

void fwEnvLock(void)
{
    fwEnv.local.lock();
    if (fwEnv.shared && fwEnv.held == 0 && pthread_mutex_lock(&fwEnv.shared->mutex) == EOWNERDEAD)
        pthread_mutex_consistent(&fwEnv.shared->mutex);
    fwEnv.held++;
}

void fwEnvUnlock(void)
{
    if (fwEnv.held <= 0)
        return;
    fwEnv.held--;
    if (fwEnv.shared && fwEnv.held == 0)
        pthread_mutex_unlock(&fwEnv.shared->mutex);
    fwEnv.local.unlock();
}

const char *fwEnvGetEnvLoaded(const char *name, int alreadyLoaded)
{
    std::lock_guard<std::recursive_mutex> lock(fwEnv.local);
    if (!alreadyLoaded && loadBlock() != 0)
        return nullptr;
    return intern(searchLoaded(name));
}

const char *fwEnvGetEnv(const char *name)
{
    fwEnvLock();
    const char *value = fwEnvGetEnvLoaded(name, 0);
    fwEnvUnlock();
    return value;
}

int fwEnvGetEnvCopy(const char *name, char *value, size_t size)
{
    if (!value || size == 0)
        return -1;
    const char *found = fwEnvGetEnv(name);
    if (!found)
        return -1;
    size_t length = strlen(found);
    if (length >= size) {
        fprintf(stderr, "Environment value of %s is %zu characters, more than the %zu its reader holds: not used\n", name,
                length, size - 1);
        return -1;
    }
    memcpy(value, found, length + 1);
    return 0;
}

int fwEnvSetEnv(int argc, const char *const argv[])
{
    if (argc < 2 || !argv || !argv[1] || !*argv[1] || strchr(argv[1], '='))
        return EINVAL;
    const char *name = argv[1];
    fwEnvLock();
    int rc = -1;
    if (loadBlock() == 0) {
        std::vector<uint8_t> &data = fwEnv.data;
        size_t size = data.size();
        size_t nameLength = strlen(name);
        /* Remove the old entry, moving the following ones down. */
        for (size_t at = 0; at < size && data[at] != 0;) {
            const void *end = memchr(&data[at], 0, size - at);
            if (!end)
                break;
            size_t length = (const uint8_t *)end - &data[at];
            if (length > nameLength && memcmp(&data[at], name, nameLength) == 0 && data[at + nameLength] == '=') {
                memmove(&data[at], &data[at + length + 1], size - at - length - 1);
                memset(&data[size - length - 1], 0, length + 1);
                continue;
            }
            at += length + 1;
        }
        std::string entry;
        if (argc > 2) {
            entry = std::string(name) + "=";
            for (int i = 2; i < argc; i++)
                entry += std::string(i > 2 ? " " : "") + (argv[i] ? argv[i] : "");
        }
        size_t used = usedLength();
        /* The entry, its terminator and the closing empty string must fit. */
        if (!entry.empty() && used + entry.size() + 2 > size) {
            fprintf(stderr, "Error: environment overflow, \"%s\" deleted\n", name);
        } else {
            if (!entry.empty()) {
                memcpy(&data[used], entry.data(), entry.size());
                data[used + entry.size()] = 0;
                data[used + entry.size() + 1] = 0;
            }
            fwEnv.crc = fwEnvCrc32(data.data(), size);
            rc = writeBlockAndStamp();
            if (rc != 0)
                fprintf(stderr, "Error: can't write fw_env to flash\n");
        }
        /* The entry was taken out of the loaded copy: unless flash holds the same, read flash again next time. */
        if (rc != 0)
            fwEnv.loaded = 0;
    }
    fwEnvUnlock();
    return rc;
}

int fwEnvPrintEnv(int argc, const char *const argv[])
{
    fwEnvLock();
    int rc = 0;
    if (loadBlock() != 0) {
        rc = 1;
    } else if (argc < 2) {
        const char *data = (const char *)fwEnv.data.data();
        for (size_t at = 0; at < fwEnv.data.size() && data[at] != 0;) {
            const void *end = memchr(data + at, 0, fwEnv.data.size() - at);
            if (!end)
                break;
            printf("%s\n", data + at);
            at = (size_t)((const char *)end - data) + 1;
        }
    } else {
        for (int i = 1; i < argc; i++) {
            const char *value = searchLoaded(argv[i]);
            if (value) {
                printf("%s=%s\n", argv[i], value);
            } else {
                fprintf(stderr, "## Error: \"%s\" not defined\n", argv[i]);
                rc = 1;
            }
        }
    }
    fwEnvUnlock();
    return rc;
}
