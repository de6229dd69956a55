#ifndef KVR_SPIEMULATOR_H
#define KVR_SPIEMULATOR_H

/* Layer: below the devices. May include hal only. */

/*
 * The small TCP socket functions the firmware's links share, the client end
 * of -c, and the SPI channel through which the FPGA handler reaches an FPGA.
 *
 * A channel holds a hal device handle: the card's spidev node, the card
 * emulator's, or the SPI emulator's socket channel (device name "socket"):
 * the hal chooses which serves it (see hal.h, where the emulator itself lives).
 */

#include <cstddef>
#include <cstdint>

enum {
    SPI_CHANNEL_BUFFER_SIZE = 3000,    /* each of the two transfer buffers */
    SPI_CHANNEL_PIECE = 3000,          /* largest single read or write on a channel */
};

/* Results of the channel functions. */
enum {
    SPI_CHANNEL_OK = 0,
    SPI_CHANNEL_ERROR = 1,     /* open, read, write or transfer failed */
    SPI_CHANNEL_NO_MEMORY = 3,
};

/*
 * An open SPI channel: the hal device handle and the transfer buffers of the
 * FPGA handler. The handler builds a frame at the start of txBuffer;
 * spiEmulatorChannelTransfer fills rxBuffer.
 */
struct spiChannel_t {
    int descriptor;
    uint8_t rxBuffer[SPI_CHANNEL_BUFFER_SIZE];
    uint8_t txBuffer[SPI_CHANNEL_BUFFER_SIZE];
};

/* TCP socket connected to a dotted IPv4 address and port; the descriptor, or -1. */
int socketConnect(const char *address, int port);

/* TCP socket bound to any local address on the port (SO_REUSEADDR); the descriptor, or -1. */
int socketBind(int port);

/* Listens with backlog 5 and accepts one connection; the new descriptor (0 is valid), or -1. */
int socketListenAccept(int socket);

/* socketConnect("127.0.0.1", 5131): the client of -c. */
int spiEmulatorConnect(void);

/*
 * Opens a channel on a device node through the hal ("socket" is the SPI
 * emulator's channel). Results: 0 with *channel set, 1 when the device could
 * not be opened (channel null), 3 without memory.
 */
int spiChannelOpen(const char *deviceName, spiChannel_t **channel);

/* As spiChannelOpen("socket") for an emulator on another loopback port. */
int spiEmulatorChannelOpenSocket(int port, spiChannel_t **channel);

/* Closes the device and frees the channel: 1 when close failed, else 0. A null channel does nothing. */
int spiChannelClose(spiChannel_t *channel);

/*
 * Read or write length bytes on the channel's device in pieces of at most
 * 3,000 bytes. 0 success, 1 on an error or at end of stream; a length below 1
 * does nothing and returns 0.
 */
int spiChannelRead(spiChannel_t *channel, void *buffer, int length);
int spiChannelWrite(spiChannel_t *channel, const void *buffer, int length);

/*
 * Performs the SPI frame of length bytes at the start of txBuffer and leaves
 * the bytes clocked in at the start of rxBuffer: one halSpiTransfer on the
 * channel's device. Returns 0, or 1 when the transfer failed (or, on the SPI
 * emulator's channel, the frame is not one the emulator can serve, such as an
 * address outside its space).
 */
int spiEmulatorChannelTransfer(spiChannel_t *channel, size_t length);

#endif
