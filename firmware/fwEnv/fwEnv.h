#ifndef KVR_FWENV_H
#define KVR_FWENV_H

/* Layer: below the platform. May include hal only. */

/*
 * The boot loader's environment block in flash: name=value strings behind a
 * little-endian CRC-32, at the device, offset and size named by each line of
 * "/etc/fw_env.config" (one line per copy; two or three lines make the
 * environment redundant). An operation reads the block again only when the
 * configuration, a copy's device file or its CRC word changed, and runs
 * under a mutex shared with the other processes of the card, kept in the
 * POSIX shared-memory object "/fwEnvSharedMem" (the mutex, then a u32 ready
 * flag: 28 bytes on the card's 32-bit processor, 48 on a 64-bit host). The
 * object is always as large as the record, so no part of the mutex lies past
 * its end, where the kernel would not keep it shared. Messages go to standard
 * error.
 *
 * Every path goes through the hal. All functions may be called from any thread.
 */

#include <cstddef>
#include <cstdint>
#include <pthread.h>

enum {
    FW_ENV_MAX_COPIES = 3,
};

/* The record in the shared-memory object. */
struct fwEnvShared_t {
    pthread_mutex_t mutex;
    uint32_t ready;
};

static const size_t FW_ENV_SHARED_SIZE = sizeof(fwEnvShared_t);

/* Text of the default environment the boot loader uses when the block is bad. */
extern const char fwEnvDefaultEnvironment[];

/* The standard reflected CRC-32 (0xEDB88320, init and final complement). */
uint32_t fwEnvCrc32(const uint8_t *bytes, size_t length);

/* Creates (or opens) the shared mutex. Called once by platformInit. */
void fwEnvInitMutex(void);

/* Lock and unlock the shared mutex when there is one. */
void fwEnvLock(void);
void fwEnvUnlock(void);

/*
 * Value of a variable, or null when it is absent or the block cannot be read.
 * The text is an interned copy that stays valid for the life of the process,
 * whatever later loads do.
 */
const char *fwEnvGetEnv(const char *name);

/*
 * The same without locking; loads the block first unless alreadyLoaded is
 * non-zero (to read several keys from one load under one fwEnvLock). The
 * result is interned as for fwEnvGetEnv.
 */
const char *fwEnvGetEnvLoaded(const char *name, int alreadyLoaded);

/*
 * Copies a variable's value (terminated, at most size - 1 characters).
 * 0 found, -1 absent, unreadable or longer than size - 1 (printed, not cut).
 */
int fwEnvGetEnvCopy(const char *name, char *value, size_t size);

/*
 * argv[1] the name, argv[2..] the value words (joined by single blanks); no
 * value deletes the variable. 0 done, 22 (EINVAL) with fewer than two
 * arguments, -1 when the block cannot be loaded, the entry does not fit or
 * the write fails.
 */
int fwEnvSetEnv(int argc, const char *const argv[]);

/* Prints every variable, or the named ones (argv[1..]). 0, or 1 when a name is missing. */
int fwEnvPrintEnv(int argc, const char *const argv[]);

#endif
