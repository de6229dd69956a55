#ifndef KVR_SPIEMULATOR_H
#define KVR_SPIEMULATOR_H

/* Layer: below the devices. May include hal only. */

/*
 * The SPI emulator, the small TCP socket functions the firmware's links share,
 * and the SPI channel through which the FPGA handler reaches an FPGA.
 *
 * The emulator keeps 16,384 16-bit words of FPGA register space in memory and
 * serves them to one TCP client on 127.0.0.1 port 5131. Its frame header is 4
 * bytes: bytes 0-1 a little-endian u16 whose low 12 bits are N (4 x N data
 * bytes), bytes 2-3 a little-endian u16 whose low 14 bits are the word
 * address; the top two bits of byte 3 are the command: 0 write (the data
 * follows), 2 read (the emulator answers with the data), 1 and 3 invalid.
 * Register words travel in host byte order.
 */

#include <cstddef>
#include <cstdint>

enum {
    SPI_EMULATOR_PORT = 5131,
    SPI_EMULATOR_WORDS = 16384,
    SPI_EMULATOR_MAX_UNITS = 0xFFF,    /* 4-byte units per emulator frame */
    SPI_CHANNEL_BUFFER_SIZE = 3000,    /* each of the two transfer buffers */
    SPI_CHANNEL_PIECE = 3000,          /* largest single read or write on a channel */
};

enum {
    SPI_EMULATOR_WRITE = 0,
    SPI_EMULATOR_READ = 2,
};

/* Results of the channel functions. */
enum {
    SPI_CHANNEL_OK = 0,
    SPI_CHANNEL_ERROR = 1,     /* open, read, write or transfer failed */
    SPI_CHANNEL_NO_MEMORY = 3,
};

/*
 * An open SPI channel: the device handle (hal) or the socket to the SPI
 * emulator, and the transfer buffers of the FPGA handler. The handler builds a
 * frame at the start of txBuffer; spiChannelTransfer fills rxBuffer.
 */
struct spiChannel_t {
    int descriptor;
    int isSocket;  /* 1: descriptor is a TCP socket to the SPI emulator */
    uint8_t rxBuffer[SPI_CHANNEL_BUFFER_SIZE];
    uint8_t txBuffer[SPI_CHANNEL_BUFFER_SIZE];
};

/* TCP socket connected to a dotted IPv4 address and port; the descriptor, or -1. */
int socketConnect(const char *address, int port);

/* TCP socket bound to any local address on the port (SO_REUSEADDR); the descriptor, or -1. */
int socketBind(int port);

/* Listens with backlog 5 and accepts one connection; the new descriptor (0 is valid), or -1. */
int socketListenAccept(int socket);

/*
 * Runs the emulator on 127.0.0.1:5131: prints "SPI emulator", initialises the
 * register space, accepts one client and serves it. Returns -1 when its client
 * goes away or on an error. Blocks the calling thread.
 */
int spiEmulatorServer(void);

/* pthread entry that runs spiEmulatorServer (for the emulator beside the firmware). */
void *spiEmulatorThreadEntry(void *unused);

/*
 * The emulator on a socket that is already bound: accepts one client and serves
 * it with a fresh register space. Returns -1 when the client goes away or on an
 * error; the listening socket stays open (the caller owns it).
 */
int spiEmulatorServe(int listeningSocket);

/* socketConnect("127.0.0.1", 5131). */
int spiEmulatorConnect(void);

/*
 * Opens a channel. The name "socket" connects to the SPI emulator; any other
 * name is a device node opened through the hal. Results: 0 with *channel set,
 * 1 when the device could not be opened (channel null), 3 without memory.
 */
int spiChannelOpen(const char *deviceName, spiChannel_t **channel);

/* As spiChannelOpen("socket") for an emulator on another loopback port. */
int spiChannelOpenSocket(int port, spiChannel_t **channel);

/* Closes the descriptor and frees the channel: 1 when close failed, else 0. A null channel does nothing. */
int spiChannelClose(spiChannel_t *channel);

/*
 * Read or write length bytes on the channel's descriptor in pieces of at most
 * 3,000 bytes. 0 success, 1 on an error or at end of stream; a length below 1
 * does nothing and returns 0.
 */
int spiChannelRead(spiChannel_t *channel, void *buffer, int length);
int spiChannelWrite(spiChannel_t *channel, const void *buffer, int length);

/*
 * Performs the SPI frame of length bytes at the start of txBuffer and leaves
 * the bytes clocked in at the start of rxBuffer. On a device this is one
 * transfer; on a socket the frame is carried out against the emulator's
 * register space (a read or write of words, or a keyhole access to one word).
 * Returns 0, or 1 when the transfer failed (or, on a socket, the frame is not
 * one the emulator can serve, such as an address outside its space).
 */
int spiChannelTransfer(spiChannel_t *channel, size_t length);

#endif
