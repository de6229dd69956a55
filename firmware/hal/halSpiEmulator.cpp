/*
 * The SPI emulator, both ends: the register-space server of -s and -e, and
 * the "socket" device backend through which the FPGA handler's SPI frames
 * reach it.
 */

#include "hal/halPrivate.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

/* How long a socket channel waits for the emulator's answer before it gives up. */
static const int HAL_SPI_SOCKET_TIMEOUT_SECONDS = 5;

/* Reads exactly length bytes; 1 when done, 0 at end of stream, -1 on an error. */
static int readFull(int fd, void *buffer, size_t length)
{
    uint8_t *at = (uint8_t *)buffer;
    while (length > 0) {
        ssize_t n = read(fd, at, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        at += n;
        length -= (size_t)n;
    }
    return 1;
}

/* Writes exactly length bytes; 0 when done, -1 on an error. */
static int writeFull(int fd, const void *buffer, size_t length)
{
    const uint8_t *at = (const uint8_t *)buffer;
    while (length > 0) {
        ssize_t n = send(fd, at, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        at += n;
        length -= (size_t)n;
    }
    return 0;
}

/* ---- the emulator ---- */

/* The four identical groups the FPGA register space starts with. */
static void initRegisterSpace(uint16_t *words)
{
    memset(words, 0, HAL_SPI_EMULATOR_WORDS * sizeof *words);
    static const uint16_t group[4] = {921, 128, 0, 128};
    for (unsigned base : {0x000u, 0x200u, 0x400u, 0x600u})
        memcpy(&words[base], group, sizeof group);
}

/* Serves one connected client until it goes away; always -1. */
static int serveClient(int client, uint16_t *words)
{
    uint8_t *space = (uint8_t *)words;
    const size_t spaceBytes = HAL_SPI_EMULATOR_WORDS * sizeof *words;
    std::vector<uint8_t> data(4 * HAL_SPI_EMULATOR_MAX_UNITS);
    for (;;) {
        uint8_t header[4];
        if (readFull(client, header, sizeof header) != 1) {
            perror("read error");
            close(client);
            return -1;
        }
        unsigned units = (header[0] | (header[1] << 8)) & 0xFFF;
        unsigned address = (header[2] | (header[3] << 8)) & 0x3FFF;
        unsigned command = header[3] >> 6;
        size_t length = 4 * (size_t)units;
        size_t offset = 2 * (size_t)address;
        /* Only the part of a frame that lies inside the register space is served. */
        size_t inside = offset + length <= spaceBytes ? length : spaceBytes - offset;
        if (command == HAL_SPI_EMULATOR_WRITE) {
            if (readFull(client, data.data(), length) != 1) {
                perror("read error");
                close(client);
                return -1;
            }
            if (inside < length)
                fprintf(stderr, "write of %u units at 0x%x runs past the register space, cut\n", units, address);
            memcpy(space + offset, data.data(), inside);
        } else if (command == HAL_SPI_EMULATOR_READ) {
            memset(data.data(), 0, length);
            memcpy(data.data(), space + offset, inside);
            if (inside < length)
                fprintf(stderr, "read of %u units at 0x%x runs past the register space, zero filled\n", units, address);
            if (writeFull(client, data.data(), length) != 0) {
                perror("write error");
                close(client);
                return -1;
            }
        } else {
            fprintf(stderr, "invalid command %d\n", command);
        }
    }
}

int halSpiEmulatorServe(int listeningSocket)
{
    std::vector<uint16_t> words(HAL_SPI_EMULATOR_WORDS);
    initRegisterSpace(words.data());
    if (listen(listeningSocket, 5) != 0) {
        perror("accept error");
        return -1;
    }
    int client;
    do {
        client = accept4(listeningSocket, nullptr, nullptr, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
    if (client < 0) {
        perror("accept error");
        return -1;
    }
    printf("SPI emulator: got connection\n");
    fflush(stdout);
    return serveClient(client, words.data());
}

/* A TCP socket of the loopback interface: bound to the port (listen) or connected to it. -1 on failure. */
static int loopbackSocket(int port, int connectTo)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    if (connectTo) {
        rc = connect(fd, (struct sockaddr *)&address, sizeof address);
    } else {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        rc = bind(fd, (struct sockaddr *)&address, sizeof address);
    }
    if (rc != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int halSpiEmulatorServer(void)
{
    printf("SPI emulator\n");
    fflush(stdout);
    /* Every peer of the emulator is on this card: listen on the loopback interface only. */
    int listening = loopbackSocket(HAL_SPI_EMULATOR_PORT, 0);
    if (listening < 0) {
        perror("bind error");
        return -1;
    }
    int rc = halSpiEmulatorServe(listening);
    close(listening);
    return rc;
}

/* ---- the "socket" device backend ---- */

static void encodeEmulatorHeader(uint8_t header[4], unsigned command, unsigned address, unsigned units)
{
    header[0] = (uint8_t)(units & 0xFF);
    header[1] = (uint8_t)((units >> 8) & 0x0F);
    header[2] = (uint8_t)(address & 0xFF);
    header[3] = (uint8_t)(((address >> 8) & 0x3F) | ((command & 3) << 6));
}

/* "socket" is the emulator's own port, "socket:PORT" another loopback port. */
static int socketOpen(void *, const char *cardPath)
{
    const char *colon = strchr(cardPath, ':');
    int port = colon ? atoi(colon + 1) : HAL_SPI_EMULATOR_PORT;
    int fd = loopbackSocket(port, 1);
    if (fd < 0)
        return -1;
    struct timeval timeout = {HAL_SPI_SOCKET_TIMEOUT_SECONDS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

static int socketClose(void *, int fd)
{
    return close(fd);
}

/* Reads units 4-byte units of the emulator's space at a word address into out. 0, or -1. */
static int emulatorRead(int fd, unsigned address, unsigned units, uint8_t *out)
{
    uint8_t header[4];
    encodeEmulatorHeader(header, HAL_SPI_EMULATOR_READ, address, units);
    if (writeFull(fd, header, 4) != 0)
        return -1;
    return readFull(fd, out, 4 * (size_t)units) == 1 ? 0 : -1;
}

static int emulatorWrite(int fd, unsigned address, unsigned units, const uint8_t *data)
{
    uint8_t header[4];
    encodeEmulatorHeader(header, HAL_SPI_EMULATOR_WRITE, address, units);
    if (writeFull(fd, header, 4) != 0)
        return -1;
    return writeFull(fd, data, 4 * (size_t)units);
}

/* A big-endian bus word as the emulator stores it (host order), and back. */
static void busToHost(const uint8_t *bus, uint8_t *host)
{
    uint16_t word = (uint16_t)((bus[0] << 8) | bus[1]);
    memcpy(host, &word, 2);
}

static void hostToBus(const uint8_t *host, uint8_t *bus)
{
    uint16_t word;
    memcpy(&word, host, 2);
    bus[0] = (uint8_t)(word >> 8);
    bus[1] = (uint8_t)word;
}

static int frameRefused(void)
{
    errno = EINVAL;
    return -1;
}

/*
 * Carries out one SPI frame against the emulator. The emulator moves 4-byte
 * units (two words); an odd word count or a keyhole write is a read-modify-write
 * of the unit that holds the word. A read clocks in only the words its frame
 * has room for, as on the bus.
 */
static int socketSpiTransfer(void *, int fd, const uint8_t *tx, uint8_t *rx, size_t length)
{
    if (length < 4)
        return frameRefused();
    uint32_t word = ((uint32_t)tx[0] << 24) | ((uint32_t)tx[1] << 16) | ((uint32_t)tx[2] << 8) | tx[3];
    unsigned kind = word >> 30;
    uint32_t address = word & 0x3FFFFFFF;
    int isRead = (kind & 2) != 0;
    int isKeyhole = (kind & 1) != 0;
    if (isRead && length < 6)
        return frameRefused();
    size_t dataOffset = isRead ? 6 : 4;
    size_t count = isRead ? (size_t)(((tx[4] << 8) | tx[5]) & 0xFFF) : (length - 4) / 2;
    if (dataOffset + 2 * count > length)
        return frameRefused();
    size_t span = isKeyhole ? 1 : count;
    if (count == 0)
        return 0;
    if (address >= HAL_SPI_EMULATOR_WORDS || address + span > HAL_SPI_EMULATOR_WORDS)
        return frameRefused();

    std::vector<uint8_t> units(4 * ((span + 1) / 2));
    unsigned unitCount = (unsigned)(units.size() / 4);
    if (isRead) {
        if (emulatorRead(fd, address, unitCount, units.data()) != 0)
            return -1;
        memset(rx, 0, dataOffset);
        for (size_t i = 0; i < count; i++)
            hostToBus(&units[2 * (isKeyhole ? 0 : i)], rx + dataOffset + 2 * i);
        return 0;
    }

    /* Writes: a keyhole write leaves its last word in the window register. */
    const uint8_t *data = tx + dataOffset;
    if (isKeyhole)
        data += 2 * (count - 1);
    if (span % 2 == 1 && emulatorRead(fd, address + (unsigned)span - 1, 1, &units[units.size() - 4]) != 0)
        return -1;
    for (size_t i = 0; i < span; i++)
        busToHost(data + 2 * i, &units[2 * i]);
    return emulatorWrite(fd, address, unitCount, units.data());
}

static ssize_t socketRead(void *, int fd, void *buffer, size_t length)
{
    return read(fd, buffer, length);
}

static ssize_t socketWrite(void *, int fd, const void *buffer, size_t length)
{
    return send(fd, buffer, length, MSG_NOSIGNAL);
}

/* No I2C on the emulator's channel: the hal answers ENOTTY for the missing operations. */
const halDeviceBackend_t halSpiSocketBackend = {
    socketOpen, socketClose, socketSpiTransfer, nullptr, nullptr, nullptr, socketRead, socketWrite, nullptr,
};
