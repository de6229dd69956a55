#include "spiEmulator/spiEmulator.h"

#include "hal/hal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

int socketBind(int port)
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
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (struct sockaddr *)&local, sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
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

int spiEmulatorConnect(void)
{
    return socketConnect("127.0.0.1", HAL_SPI_EMULATOR_PORT);
}

/* A channel around an open hal handle (closed again when there is no memory). */
static int channelAdopt(int handle, spiChannel_t **channel)
{
    if (handle < 0)
        return SPI_CHANNEL_ERROR;
    spiChannel_t *made = (spiChannel_t *)calloc(1, sizeof *made);
    if (!made) {
        halDeviceClose(handle);
        return SPI_CHANNEL_NO_MEMORY;
    }
    made->descriptor = handle;
    *channel = made;
    return SPI_CHANNEL_OK;
}

int spiChannelOpen(const char *deviceName, spiChannel_t **channel)
{
    if (!channel)
        return SPI_CHANNEL_ERROR;
    *channel = nullptr;
    if (!deviceName)
        return SPI_CHANNEL_ERROR;
    return channelAdopt(halDeviceOpen(deviceName), channel);
}

int spiEmulatorChannelOpenSocket(int port, spiChannel_t **channel)
{
    if (!channel)
        return SPI_CHANNEL_ERROR;
    *channel = nullptr;
    return channelAdopt(halDeviceOpenSocket(port), channel);
}

int spiChannelClose(spiChannel_t *channel)
{
    if (!channel)
        return 0;
    int rc = halDeviceClose(channel->descriptor);
    free(channel);
    return rc != 0 ? 1 : 0;
}

/* Moves one piece whole, across short reads and writes. 0, or 1 on an error or at end of stream. */
static int channelMovePiece(spiChannel_t *channel, uint8_t *at, size_t length, int isRead)
{
    while (length > 0) {
        ssize_t n = isRead ? halDeviceRead(channel->descriptor, at, length)
                           : halDeviceWrite(channel->descriptor, at, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return SPI_CHANNEL_ERROR;
        at += n;
        length -= (size_t)n;
    }
    return SPI_CHANNEL_OK;
}

/* Reads or writes length bytes in pieces of at most SPI_CHANNEL_PIECE bytes. */
static int channelMove(spiChannel_t *channel, uint8_t *buffer, int length, int isRead)
{
    if (length < 1)
        return SPI_CHANNEL_OK;
    if (!channel || !buffer)
        return SPI_CHANNEL_ERROR;
    while (length > 0) {
        int piece = length < SPI_CHANNEL_PIECE ? length : SPI_CHANNEL_PIECE;
        if (channelMovePiece(channel, buffer, (size_t)piece, isRead) != SPI_CHANNEL_OK)
            return SPI_CHANNEL_ERROR;
        buffer += piece;
        length -= piece;
    }
    return SPI_CHANNEL_OK;
}

int spiChannelRead(spiChannel_t *channel, void *buffer, int length)
{
    return channelMove(channel, (uint8_t *)buffer, length, 1);
}

int spiChannelWrite(spiChannel_t *channel, const void *buffer, int length)
{
    return channelMove(channel, (uint8_t *)buffer, length, 0);
}

int spiEmulatorChannelTransfer(spiChannel_t *channel, size_t length)
{
    if (!channel || length > SPI_CHANNEL_BUFFER_SIZE)
        return SPI_CHANNEL_ERROR;
    if (halSpiTransfer(channel->descriptor, channel->txBuffer, channel->rxBuffer, length) != 0) {
        perror("SPI_IOC_MESSAGE");
        return SPI_CHANNEL_ERROR;
    }
    return SPI_CHANNEL_OK;
}
