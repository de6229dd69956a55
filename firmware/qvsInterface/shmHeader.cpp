#include "qvsInterface/qvsInterfacePrivate.h"

#include "hal/hal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#define SHM_HEADER_ENV "SHM_HEADER_FULLPATHNAME"
#define SHM_HEADER_DEFAULT "/usr/local/q7/firmware/ulmheader.dat"

/*
 * Layout of the header file: a 16-byte head, then 16-byte entries
 *   byte 0 flags (bit 0: present), bytes 6-9 card type, bytes 10-13 region
 *   offset (both big-endian).
 * Region header written at each region (12 bytes): bytes 0-2 kept, byte 3
 * flags (bit 0 valid, bit 1 cleared), bytes 4-5 zero, bytes 6-7 0xCA 0xFE,
 * bytes 8-11 the entry's card-type bytes.
 */
enum {
    SHM_HEADER_HEAD_SIZE = 16,
    SHM_HEADER_ENTRY_SIZE = 16,
    SHM_REGION_HEADER_SIZE = 12,
};

static struct {
    void *outputCard;
    void *inputCard;
    void *gpioCard;
    void *routerCard;
    void *base;
} shmRegions;

static uint32_t readBig32(const uint8_t *bytes)
{
    return ((uint32_t)bytes[0] << 24) | ((uint32_t)bytes[1] << 16) | ((uint32_t)bytes[2] << 8) | bytes[3];
}

void qvsInterfaceClearCardRegions(void)
{
    memset(&shmRegions, 0, sizeof shmRegions);
}

void *qvsInterfaceGetCardRegion(uint32_t cardType)
{
    switch (cardType) {
    case QVS_CARD_OUTPUT:
        return shmRegions.outputCard;
    case QVS_CARD_INPUT:
        return shmRegions.inputCard;
    case QVS_CARD_GPIO:
        return shmRegions.gpioCard;
    case QVS_CARD_ROUTER:
        return shmRegions.routerCard;
    default:
        break;
    }
    if (shmRegions.base)
        return shmRegions.base;
    const qvsInterfaceOps *ops = qvsInterfaceCurrentOps();
    return ops->getSharedMem ? ops->getSharedMem() : nullptr;
}

/* Reads the header file into the start of the memory. Returns the bytes read. */
static uint32_t shmHeaderLoad(const std::string &path, uint8_t *base, uint32_t size)
{
    log4c_category_t *category = qvsInterfaceCategory();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        char cwd[PATH_MAX];
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: cannot open header file %s. getcwd is %s errno string %s",
                           __func__, path.c_str(), getcwd(cwd, sizeof cwd) ? cwd : "?", strerror(err));
        return 0;
    }
    uint32_t got = 0;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: cannot get file size %s", __func__, path.c_str());
    } else if ((uint64_t)st.st_size > size) {
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: header size %d exceed shared memory size %d", __func__,
                           (int)st.st_size, (int)size);
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: header file %s is %lld bytes, more than the %u of the shared memory: not read", __func__,
                           path.c_str(), (long long)st.st_size, size);
    } else {
        ssize_t n = read(fd, base, (size_t)st.st_size);
        if (n < 0)
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: cannot read header: %s", __func__, strerror(errno));
        else if (n != st.st_size)
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: cannot read header. got %d, expected %d", __func__,
                               (int)n, (int)st.st_size);
        got = n > 0 ? (uint32_t)n : 0;
    }
    close(fd);
    return got;
}

/* Records one card type's region and logs it. False for a type the firmware does not know. */
static bool shmHeaderRecordRegion(uint32_t cardType, uint8_t *region, uint32_t offset)
{
    log4c_category_t *category = qvsInterfaceCategory();
    switch (cardType) {
    case QVS_CARD_OUTPUT:
        shmRegions.outputCard = region;
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: ULM_OUTPUTCARD at  0x%x", __func__, offset);
        return true;
    case QVS_CARD_INPUT:
        shmRegions.inputCard = region;
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: ULM_INPUTCARD at 0x%x [Video0 at  0x%x]", __func__,
                           offset, offset + QVS_INPUT_CARD_VIDEO0_OFFSET);
        return true;
    case QVS_CARD_GPIO:
        shmRegions.gpioCard = region;
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: ULM_GPIOCARD at 0x%x", __func__, offset);
        return true;
    case QVS_CARD_ROUTER:
        shmRegions.routerCard = region;
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: ULM_ROUTERCARD at 0x%x", __func__, offset);
        return true;
    default:
        log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: Unknown card type %d in header. Ignored", __func__,
                           (int)cardType);
        return false;
    }
}

void initShmHeader(uint8_t *base, uint32_t size)
{
    log4c_category_t *category = qvsInterfaceCategory();
    const char *fromEnvironment = getenv(SHM_HEADER_ENV);
    std::string path;
    if (fromEnvironment) {
        path = fromEnvironment;
    } else {
        path = halPath(SHM_HEADER_DEFAULT);
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: initShmHeader failed to get env var %s will use filename %s",
                           __func__, SHM_HEADER_ENV, path.c_str());
    }
    uint32_t loaded = shmHeaderLoad(path, base, size);

    for (uint32_t at = SHM_HEADER_HEAD_SIZE; at + SHM_HEADER_ENTRY_SIZE <= loaded; at += SHM_HEADER_ENTRY_SIZE) {
        const uint8_t *entry = base + at;
        if (!(entry[0] & 0x01))
            continue;
        uint8_t cardTypeBytes[4];
        memcpy(cardTypeBytes, entry + 6, sizeof cardTypeBytes);
        uint32_t cardType = readBig32(cardTypeBytes);
        uint32_t offset = readBig32(entry + 10);
        if ((uint64_t)offset + SHM_REGION_HEADER_SIZE > size) {
            log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                               "%s: card type %d at offset 0x%x lies outside the shared memory of %u bytes. Skipped",
                               __func__, (int)cardType, offset, (unsigned)size);
            continue;
        }
        uint8_t *region = base + offset;
        region[3] = (uint8_t)((region[3] | 0x01) & ~0x02);
        region[4] = 0;
        region[5] = 0;
        region[6] = 0xCA;
        region[7] = 0xFE;
        memcpy(region + 8, cardTypeBytes, sizeof cardTypeBytes);
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: card type %d at offset 0x%x", __func__, (int)cardType,
                           offset);
        if (!shmHeaderRecordRegion(cardType, region, offset))
            region[3] &= (uint8_t)~0x01;
    }
    shmRegions.base = base;
}
