#include "spiEmulator/spiEmulator.h"

#include "hal/hal.h"

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
static const int SPI_SOCKET_TIMEOUT_SECONDS = 5;

int socketConnect(const char *address, int port)
{
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons((uint16_t)port);
    if (!address || inet_pton(AF_INET, address, &peer.sin_addr) != 1)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr *)&peer, sizeof peer) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int bindTo(in_addr_t address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons((uint16_t)port);
    local.sin_addr.s_addr = htonl(address);
    if (bind(fd, (struct sockaddr *)&local, sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int socketBind(int port)
{
    return bindTo(INADDR_ANY, port);
}

int socketListenAccept(int socket)
{
    if (listen(socket, 5) != 0)
        return -1;
    int client;
    do {
        client = accept4(socket, nullptr, nullptr, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
    return client;
}

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

static void encodeEmulatorHeader(uint8_t header[4], unsigned command, unsigned address, unsigned units)
{
    header[0] = (uint8_t)(units & 0xFF);
    header[1] = (uint8_t)((units >> 8) & 0x0F);
    header[2] = (uint8_t)(address & 0xFF);
    header[3] = (uint8_t)(((address >> 8) & 0x3F) | ((command & 3) << 6));
}

/* The four identical groups the FPGA register space starts with. */
static void initRegisterSpace(uint16_t *words)
{
    memset(words, 0, SPI_EMULATOR_WORDS * sizeof *words);
    static const uint16_t group[4] = {921, 128, 0, 128};
    for (unsigned base : {0x000u, 0x200u, 0x400u, 0x600u})
        memcpy(&words[base], group, sizeof group);
}

/* Serves one connected client until it goes away; always -1. */
static int serveClient(int client, uint16_t *words)
{
    uint8_t *space = (uint8_t *)words;
    const size_t spaceBytes = SPI_EMULATOR_WORDS * sizeof *words;
    std::vector<uint8_t> data(4 * SPI_EMULATOR_MAX_UNITS);
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
        if (command == SPI_EMULATOR_WRITE) {
            if (readFull(client, data.data(), length) != 1) {
                perror("read error");
                close(client);
                return -1;
            }
            if (inside < length)
                fprintf(stderr, "write of %u units at 0x%x runs past the register space, cut\n", units, address);
            memcpy(space + offset, data.data(), inside);
        } else if (command == SPI_EMULATOR_READ) {
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

int spiEmulatorServe(int listeningSocket)
{
    std::vector<uint16_t> words(SPI_EMULATOR_WORDS);
    initRegisterSpace(words.data());
    int client = socketListenAccept(listeningSocket);
    if (client < 0) {
        perror("accept error");
        return -1;
    }
    printf("SPI emulator: got connection\n");
    fflush(stdout);
    return serveClient(client, words.data());
}

int spiEmulatorServer(void)
{
    printf("SPI emulator\n");
    fflush(stdout);
    /* Every peer of the emulator is on this card: listen on the loopback interface only. */
    int listening = bindTo(INADDR_LOOPBACK, SPI_EMULATOR_PORT);
    if (listening < 0) {
        perror("bind error");
        return -1;
    }
    int rc = spiEmulatorServe(listening);
    close(listening);
    return rc;
}

void *spiEmulatorThreadEntry(void *unused)
{
    (void)unused;
    spiEmulatorServer();
    return nullptr;
}

int spiEmulatorConnect(void)
{
    return socketConnect("127.0.0.1", SPI_EMULATOR_PORT);
}

static int channelFromDescriptor(int descriptor, int isSocket, spiChannel_t **channel)
{
    spiChannel_t *made = (spiChannel_t *)calloc(1, sizeof *made);
    if (!made) {
        if (isSocket)
            close(descriptor);
        else
            halDeviceClose(descriptor);
        return SPI_CHANNEL_NO_MEMORY;
    }
    made->descriptor = descriptor;
    made->isSocket = isSocket;
    *channel = made;
    return SPI_CHANNEL_OK;
}

static int openSocketChannel(int descriptor, spiChannel_t **channel)
{
    if (descriptor < 0)
        return SPI_CHANNEL_ERROR;
    struct timeval timeout = {SPI_SOCKET_TIMEOUT_SECONDS, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int on = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return channelFromDescriptor(descriptor, 1, channel);
}

int spiChannelOpen(const char *deviceName, spiChannel_t **channel)
{
    if (!channel)
        return SPI_CHANNEL_ERROR;
    *channel = nullptr;
    if (!deviceName)
        return SPI_CHANNEL_ERROR;
    if (strcmp(deviceName, "socket") == 0)
        return openSocketChannel(spiEmulatorConnect(), channel);
    int handle = halDeviceOpen(deviceName);
    if (handle < 0)
        return SPI_CHANNEL_ERROR;
    return channelFromDescriptor(handle, 0, channel);
}

int spiChannelOpenSocket(int port, spiChannel_t **channel)
{
    if (!channel)
        return SPI_CHANNEL_ERROR;
    *channel = nullptr;
    return openSocketChannel(socketConnect("127.0.0.1", port), channel);
}

int spiChannelClose(spiChannel_t *channel)
{
    if (!channel)
        return 0;
    int rc = channel->isSocket ? close(channel->descriptor) : halDeviceClose(channel->descriptor);
    free(channel);
    return rc != 0 ? 1 : 0;
}

int spiChannelRead(spiChannel_t *channel, void *buffer, int length)
{
    if (length < 1)
        return SPI_CHANNEL_OK;
    if (!channel || !buffer)
        return SPI_CHANNEL_ERROR;
    uint8_t *at = (uint8_t *)buffer;
    while (length > 0) {
        int piece = length < SPI_CHANNEL_PIECE ? length : SPI_CHANNEL_PIECE;
        if (readFull(channel->descriptor, at, (size_t)piece) != 1)
            return SPI_CHANNEL_ERROR;
        at += piece;
        length -= piece;
    }
    return SPI_CHANNEL_OK;
}

int spiChannelWrite(spiChannel_t *channel, const void *buffer, int length)
{
    if (length < 1)
        return SPI_CHANNEL_OK;
    if (!channel || !buffer)
        return SPI_CHANNEL_ERROR;
    const uint8_t *at = (const uint8_t *)buffer;
    while (length > 0) {
        int piece = length < SPI_CHANNEL_PIECE ? length : SPI_CHANNEL_PIECE;
        if (writeFull(channel->descriptor, at, (size_t)piece) != 0)
            return SPI_CHANNEL_ERROR;
        at += piece;
        length -= piece;
    }
    return SPI_CHANNEL_OK;
}

/* Reads units 4-byte units of the emulator's space at a word address into out. */
static int emulatorRead(spiChannel_t *channel, unsigned address, unsigned units, uint8_t *out)
{
    uint8_t header[4];
    encodeEmulatorHeader(header, SPI_EMULATOR_READ, address, units);
    if (spiChannelWrite(channel, header, 4) != SPI_CHANNEL_OK)
        return SPI_CHANNEL_ERROR;
    return spiChannelRead(channel, out, (int)(4 * units));
}

static int emulatorWrite(spiChannel_t *channel, unsigned address, unsigned units, const uint8_t *data)
{
    uint8_t header[4];
    encodeEmulatorHeader(header, SPI_EMULATOR_WRITE, address, units);
    if (spiChannelWrite(channel, header, 4) != SPI_CHANNEL_OK)
        return SPI_CHANNEL_ERROR;
    return spiChannelWrite(channel, data, (int)(4 * units));
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

/*
 * Carries out one SPI frame against the emulator. The emulator moves 4-byte
 * units (two words); an odd word count or a keyhole write is a read-modify-write
 * of the unit that holds the word.
 */
static int socketTransfer(spiChannel_t *channel, size_t length)
{
    if (length < 4)
        return SPI_CHANNEL_ERROR;
    const uint8_t *tx = channel->txBuffer;
    uint32_t word = ((uint32_t)tx[0] << 24) | ((uint32_t)tx[1] << 16) | ((uint32_t)tx[2] << 8) | tx[3];
    unsigned kind = word >> 30;
    uint32_t address = word & 0x3FFFFFFF;
    int isRead = (kind & 2) != 0;
    int isKeyhole = (kind & 1) != 0;
    if (isRead && length < 6)
        return SPI_CHANNEL_ERROR;
    size_t count = isRead ? (size_t)(((tx[4] << 8) | tx[5]) & 0xFFF) : (length - 4) / 2;
    size_t span = isKeyhole ? 1 : count;
    if (count == 0)
        return SPI_CHANNEL_OK;
    if (address >= SPI_EMULATOR_WORDS || address + span > SPI_EMULATOR_WORDS)
        return SPI_CHANNEL_ERROR;
    size_t dataOffset = isRead ? 6 : 4;
    if (dataOffset + 2 * count > SPI_CHANNEL_BUFFER_SIZE)
        return SPI_CHANNEL_ERROR;

    std::vector<uint8_t> units(4 * ((span + 1) / 2));
    unsigned unitCount = (unsigned)(units.size() / 4);
    if (isRead) {
        if (emulatorRead(channel, address, unitCount, units.data()) != SPI_CHANNEL_OK)
            return SPI_CHANNEL_ERROR;
        uint8_t *rx = channel->rxBuffer + dataOffset;
        memset(channel->rxBuffer, 0, dataOffset);
        for (size_t i = 0; i < count; i++)
            hostToBus(&units[2 * (isKeyhole ? 0 : i)], rx + 2 * i);
        return SPI_CHANNEL_OK;
    }

    /* Writes: a keyhole write leaves its last word in the window register. */
    const uint8_t *data = tx + dataOffset;
    if (isKeyhole)
        data += 2 * (count - 1);
    if (span % 2 == 1 && emulatorRead(channel, address + (unsigned)span - 1, 1, &units[units.size() - 4]) != SPI_CHANNEL_OK)
        return SPI_CHANNEL_ERROR;
    for (size_t i = 0; i < span; i++)
        busToHost(data + 2 * i, &units[2 * i]);
    return emulatorWrite(channel, address, unitCount, units.data());
}

int spiChannelTransfer(spiChannel_t *channel, size_t length)
{
    if (!channel || length > SPI_CHANNEL_BUFFER_SIZE)
        return SPI_CHANNEL_ERROR;
    if (channel->isSocket)
        return socketTransfer(channel, length);
    if (halSpiTransfer(channel->descriptor, channel->txBuffer, channel->rxBuffer, length) != 0) {
        perror("SPI_IOC_MESSAGE");
        return SPI_CHANNEL_ERROR;
    }
    return SPI_CHANNEL_OK;
}
