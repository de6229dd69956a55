#ifndef KVR_HAL_H
#define KVR_HAL_H

/* Layer: hal, the bottom. Includes no other firmware module. */

/*
 * The one seam between the firmware and its host.
 *
 * Every absolute path, external command, privileged call and hardware access
 * of the firmware goes through these functions. On the card the card root is
 * empty and they do the real thing. Under a card root (environment KVR_ROOT,
 * used on a development machine and in tests) paths are moved below the root,
 * commands run the stand-in scripts found below the root or are only recorded
 * in "$KVR_ROOT/var/log/hal.log", and reboot, clock and realtime requests are
 * recorded instead of carried out.
 *
 * All functions may be called from any thread.
 */

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <pthread.h>
#include <string>
#include <sys/time.h>

/* The card root: the value of KVR_ROOT, or "" on the card. Read on every call. */
std::string halCardRoot(void);

/* 1 when running under a card root (KVR_ROOT set and not empty), else 0. */
int halUnderCardRoot(void);

/*
 * The IPv4 address (host order) a server of the firmware binds: any address
 * on the card, loopback only under a card root (nothing of an emulated card
 * listens beyond the machine).
 */
uint32_t halServerBindAddress(void);

/*
 * To be called after a command that removes a card file (halRunCommand, say
 * "rm -f /var/lock/x"). On the card the command did it and this does nothing;
 * under a card root, where such a command is only recorded, the file below the
 * root is removed here. Returns 0, or -1 when a file below the root was there
 * and could not be removed.
 */
int halCommandRemovedFile(const char *cardPath);

/*
 * Maps an absolute card path ("/usr/local/q7/firmware/layout.bin") to the host
 * path: the card root followed by the path. Relative paths are returned as given.
 */
std::string halPath(const char *cardPath);

/*
 * Runs a shell command line ("/bin/sh -c", started with posix_spawn and waited
 * for with waitpid) and returns the raw status system() would return (decode
 * with WIFEXITED/WEXITSTATUS), or -1 when no shell could run. Unlike system()
 * it never changes the process's signal dispositions, so it is safe beside
 * threads that install handlers or take signals.
 *
 * Under a card root the line is recorded in hal.log, every word that is an
 * absolute path is moved below the root, and the line runs only when its
 * program exists below the root (a stand-in); otherwise nothing runs and the
 * status of a successful exit is returned.
 */
int halRunCommand(const char *command);

/*
 * Runs a program with an argument vector (no shell: argv[0] is found through
 * the search path, every argument reaches it as one word) and waits for it.
 * Its standard output is read into `out` (at most size - 1 bytes, always
 * terminated; the rest is drained) when `out` is not null. Returns the raw
 * wait status, or -1 when the program could not be started.
 *
 * Under a card root the call is recorded in hal.log and only the program's
 * stand-in runs (an absolute argv[0] below the root, a bare name in bin/,
 * usr/bin/ or sbin/ below the root); without one nothing runs, `out` is empty
 * and the status of a successful exit is returned.
 */
int halRunProgram(const char *const argv[], char *out, size_t size);

/*
 * Reboots the card. Under a card root: records "reboot" in hal.log and runs the
 * stand-in "$KVR_ROOT/sbin/reboot" when there is one. Returns 0 when the
 * request was made, -1 on failure.
 */
int halReboot(void);

/*
 * Sets the system clock. Under a card root the request is only recorded.
 * Returns 0 on success, -1 with errno set on failure.
 */
int halSetSystemTime(const struct timeval *tv);

/*
 * Makes the calling thread SCHED_FIFO with the given priority where that is
 * permitted. When it is not (or under a card root, where a runaway realtime
 * thread would stall the host) one line is logged and the thread goes on at
 * normal priority. Returns 0 when the priority was set, -1 otherwise.
 */
int halSetRealtime(int priority);

/*
 * Starts a detached thread running entry(argument). Returns 0 (and the
 * thread's id in *thread when thread is not null) or pthread_create's error
 * number. Every detached thread of the firmware starts here.
 */
int halStartDetachedThread(void *(*entry)(void *), void *argument, pthread_t *thread);

/* Appends one line to "$KVR_ROOT/var/log/hal.log" (nothing on the card). */
void halRecord(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/*
 * Start and stop of the process's devices, called once each by main.
 *
 * HAL_CARD: device nodes are the card's own (below the card root). HAL_EMULATED
 * (-e): the SPI emulator serves 127.0.0.1:5131 on a detached thread beside the
 * firmware and, under a card root, the card emulator serves every device node
 * and the card's inputs below the root. halStart returns 0, or -1 when the
 * emulator's thread cannot start. halStop ends what halStart started (the card
 * emulator's own threads) before the process ends. Both live in the daemon's
 * hal emulator library, the one place that links the card emulator.
 */
enum { HAL_CARD = 0, HAL_EMULATED = 1 };
int halStart(int mode);
void halStop(void);

/*
 * The SPI emulator: 16,384 16-bit words of FPGA register space served to one
 * TCP client. Its frame header is 4 bytes: bytes 0-1 a little-endian u16 whose
 * low 12 bits are N (4 x N data bytes), bytes 2-3 a little-endian u16 whose low
 * 14 bits are the word address; the top two bits of byte 3 are the command:
 * 0 write (the data follows), 2 read (the emulator answers with the data), 1
 * and 3 invalid. Register words travel in host byte order. The register space
 * starts with the words 921, 128, 0, 128 at 0x000, 0x200, 0x400 and 0x600.
 */
enum {
    HAL_SPI_EMULATOR_PORT = 5131,
    HAL_SPI_EMULATOR_WORDS = 16384,
    HAL_SPI_EMULATOR_MAX_UNITS = 0xFFF, /* 4-byte units per emulator frame */
    HAL_SPI_EMULATOR_WRITE = 0,
    HAL_SPI_EMULATOR_READ = 2,
};

/*
 * Runs the emulator on 127.0.0.1:5131 in the calling thread: prints "SPI
 * emulator", accepts one client and serves it with a fresh register space.
 * Returns -1 when its client goes away or on an error.
 */
int halSpiEmulatorServer(void);

/*
 * The emulator on a socket that is already bound: accepts one client and serves
 * it with a fresh register space. Returns -1 when the client goes away or on an
 * error; the listening socket stays open (the caller owns it).
 */
int halSpiEmulatorServe(int listeningSocket);

/*
 * Device nodes: the spidev and i2c-dev devices of the card.
 *
 * Every node is served by one of three backends, chosen here: the card's own
 * node below the card root (spidev and i2c-dev ioctls), the card emulator when
 * it is installed (halSetDeviceBackend; halStart does it for -e under a card
 * root), and the SPI emulator's socket channel for the device name "socket"
 * (a TCP connection to 127.0.0.1:5131 over which each SPI frame of the FPGA
 * handler is carried out against the emulator's register space: a read or
 * write of words, or a keyhole access to one word; a frame the emulator cannot
 * serve, such as one outside its space, fails with EINVAL).
 *
 * Handles are small non-negative integers of the hal's own; they are valid
 * only for the functions below. All functions may be called from any thread;
 * one handle must not be used by two threads at once.
 */

/* One message of an I2C combined transfer (the I2C_RDWR ioctl). */
struct halI2cMessage_t {
    uint16_t slave;   /* 7-bit slave address */
    uint16_t flags;   /* HAL_I2C_READ for a read, 0 for a write */
    uint16_t length;  /* bytes to move */
    uint8_t *buffer;
};
enum { HAL_I2C_READ = 0x0001 };

/*
 * What a device backend provides. Every function returns 0 on success, -1 with
 * errno on failure; an operation left null fails with ENOTTY, as on a node
 * that does not have it.
 */
struct halDeviceBackend_t {
    /* Opens a device node (the card path, e.g. "/dev/spidev1.2"); returns a backend handle >= 0 or -1. */
    int (*open)(void *context, const char *cardPath);
    int (*close)(void *context, int handle);
    /* One full-duplex SPI transfer of length bytes (rx may equal tx). */
    int (*spiTransfer)(void *context, int handle, const uint8_t *tx, uint8_t *rx, size_t length);
    /* The slave address used by later i2cWrite calls (I2C_SLAVE). */
    int (*i2cSetSlave)(void *context, int handle, uint16_t slave);
    /* One combined transfer: every message in order, repeated start between them. */
    int (*i2cTransfer)(void *context, int handle, halI2cMessage_t *messages, int count);
    /* A plain write of length bytes to the current slave; returns the bytes written or -1. */
    int (*i2cWrite)(void *context, int handle, const uint8_t *data, size_t length);
    /* A plain read or write on the node, as read(2)/write(2). */
    ssize_t (*read)(void *context, int handle, void *buffer, size_t length);
    ssize_t (*write)(void *context, int handle, const void *buffer, size_t length);
    void *context;
};

/*
 * Installs (or, with null, removes) the device backend. Handles opened before
 * the change keep the backend they were opened with. The backend record must
 * stay valid until it is removed and every handle opened through it is closed.
 */
void halSetDeviceBackend(const halDeviceBackend_t *backend);

/*
 * Opens a device node read-write. Returns a handle >= 0, or -1 with errno set.
 * Below a card root "/dev/netprobing" is the sequenced-packet socket of that
 * name under the root, whatever the backend: one read gives one buffer.
 */
int halDeviceOpen(const char *cardPath);

/* Opens the SPI emulator's socket channel to another loopback port (tests run their own emulator). */
int halDeviceOpenSocket(int port);

/* Closes a handle. Returns 0, or -1 with errno set (EBADF for an unknown handle). */
int halDeviceClose(int handle);

/*
 * One SPI_IOC_MESSAGE(1) transfer: length bytes out of tx and as many into rx,
 * speed, delay and word size left at the driver's defaults (one chip-select
 * period). Returns 0, or -1 with errno set.
 */
int halSpiTransfer(int handle, const uint8_t *tx, uint8_t *rx, size_t length);

/* Sets the slave address of an i2c-dev handle (I2C_SLAVE). Returns 0 or -1 with errno. */
int halI2cSetSlave(int handle, uint16_t slave);

/* One I2C_RDWR combined transfer of count messages. Returns 0 or -1 with errno. */
int halI2cTransfer(int handle, halI2cMessage_t *messages, int count);

/* A plain write to the slave set with halI2cSetSlave. Returns the bytes written or -1 with errno. */
int halI2cWrite(int handle, const uint8_t *data, size_t length);

/* One read(2) or write(2) on a node: the bytes moved (0 at end of stream), or -1 with errno. */
ssize_t halDeviceRead(int handle, void *buffer, size_t length);
ssize_t halDeviceWrite(int handle, const void *buffer, size_t length);

#endif
