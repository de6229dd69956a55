#ifndef KVR_UTILSHOST_H
#define KVR_UTILSHOST_H

/* Layer: below the platform. May include hal only. */

/*
 * The utilities that reach the host: the shell-command runner (through the
 * hal) and key=value text in files and buffers. The names are the system's
 * own. Functions that log take the caller's category first. Paths are host
 * paths: callers map card paths through halPath.
 */

#include <cstddef>
#include <log4c.h>

/* Largest key=value text kept in a file or buffer. */
enum { UTILS_KEY_VALUE_MAX = 65535 };

/* Results of the key=value functions. */
enum {
    UTILS_OK = 0,
    UTILS_NOT_TERMINATED = 1, /* the text fills its whole area; errno EINVAL */
    UTILS_NOT_FOUND = 3,      /* key absent, or the file could not be opened, read or written */
    UTILS_ERROR = 4,          /* bad arguments or no room for the new entry */
};

/*
 * Runs a shell command through the hal. Returns its exit status, the number of
 * the signal that ended it, or -1 when no shell could be started.
 */
int runCommand(log4c_category_t *category, const char *command);

/*
 * Finds `key` in a key=value file; the last matching line that fits wins. The
 * value is copied without its line end and terminated; a value of more than
 * valueSize - 1 characters is refused with a log line, never cut. 0 found,
 * 3 not found, no file or only values that do not fit.
 */
int utils_getKeyValueFromFile(log4c_category_t *category, const char *path, const char *key,
                              char *value, size_t valueSize);

/*
 * Sets key=value in a key=value file: any old entry of the key is removed and
 * the new one appended as the last line; other lines keep their order, blank
 * lines are dropped. The new text goes to a temporary file in the same
 * directory that is renamed over the old one, so a failed write leaves the old
 * file intact. 0 done; 1 the text fills the whole work area; 3 the file cannot
 * be opened, read, is empty or larger than 65,534 bytes, or cannot be written;
 * 4 no room for the entry (file unchanged).
 */
int utils_setKeyValueToFile(log4c_category_t *category, const char *path, const char *key, const char *value);

/*
 * Finds `key` in `size` bytes of key=value text (stops at a NUL). The value is
 * copied up to its line end and terminated; one of more than valueSize - 1
 * characters is refused with a log line (3), never cut. 0 found, 3 not found.
 * Callers are serialised by a mutex of its own.
 */
int utils_getKeyValueFromBuffer(log4c_category_t *category, const char *buffer, size_t size, const char *key,
                                char *value, size_t valueSize);

/*
 * Sets key=value in a key=value buffer as utils_setKeyValueToFile does on a
 * file. *size is the text length in and out; the text is terminated when
 * room remains. 0 done; 1 not terminated; 4 bad arguments or result larger
 * than capacity (buffer unchanged).
 */
int utils_setKeyValueToBuffer(log4c_category_t *category, char *buffer, size_t *size, size_t capacity,
                              const char *key, const char *value);

#endif
