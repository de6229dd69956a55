#ifndef KVR_PERSISTENTDATASTORAGE_H
#define KVR_PERSISTENTDATASTORAGE_H

/* Layer: services. May include strata, platform, serviceManager, utilsHost and hal. */

/*
 * The restore point (service "persistentDataStorage"): the card's own settings
 * as key=value text of at most 65,536 bytes, kept in memory, mirrored in
 * "/usr/local/q7/firmware/restorepoint.rsp" and backed up on the frame
 * controller. Readers get values at once under the data mutex; writers queue
 * requests to the service thread, which updates the text and the file, calls
 * the key listeners and, 4 s after the last change, asks the controller to
 * fetch the new restore point.
 *
 * Keys and values are at most 30 characters. Listeners run on the service
 * thread with no lock of this module held, so they may read keys themselves.
 */

#include <cstdint>
#include <log4c.h>

enum {
    PDS_LOCATION_RESTORE_POINT = 1,
    PDS_TEXT_MAX = 30,
    PDS_RESTORE_POINT_MAX = 65536,
    PDS_LISTENER_KEYS = 20,
    PDS_LISTENERS_PER_KEY = 5,
    PDS_REQUESTS = 4,
    PDS_SAVE_DELAY_MS = 4000,
    PDS_CHUNK = 50,
    PDS_DATA_PAYLOAD_MAX = 59,
};

/* Results. */
enum {
    PDS_OK = 0,
    PDS_BEFORE_SYNC = 1,
    PDS_BAD_LOCATION = 2,
    PDS_RESTORE_POINT_MISSING = 3,
    PDS_NOT_READY = 4,
    PDS_BAD_ARGUMENTS = 5,
    PDS_UNSUPPORTED = 5,
    PDS_NOT_FOUND = 8,
};

/* Request types of the service queue. */
enum {
    PERSISTENT_DATA_GET = 100,
    PERSISTENT_DATA_SET = 101,
    PERSISTENT_DATA_DELETE_ALL = 104,
    PERSISTENT_DATA_STRATA_SYNC_DONE = 1000,
};

/* Frame-controller opcodes of the transfer. */
enum {
    PDS_OPCODE_GET_RESTORE_POINT = 0x0120,
    PDS_OPCODE_RESTORE_POINT_DATA = 0x0121,
    PDS_OPCODE_RESTORE_POINT_COMPLETED = 0x0122,
    PDS_OPCODE_NEW_RESTORE_POINT_STORED = 0x0123,
    PDS_NACK_NOT_SUPPORTED = 2,
    PDS_NACK_IMPOSSIBLE = 6,
    PDS_NACK_WRONG_STATE = 10,
};

/* What a key listener receives. */
struct pdsKeyCallbackInfo {
    log4c_category_t *category;
    uint32_t found;                 /* 1 the key is present, 0 not */
    char key[PDS_TEXT_MAX + 1];
    char value[PDS_TEXT_MAX + 1];
};
typedef void (*pdsKeyCallback)(const pdsKeyCallbackInfo *info, log4c_category_t *category);

/*
 * Copies the value of `key` into value (at most size - 1 characters,
 * terminated). With a callback and a ready restore point the callback is
 * registered for the key, found or not. 0 found, 2 location other than 1,
 * 4 not ready, 5 key or value missing, 8 not found. Any thread.
 */
int persistentDataStorage_GetKey(log4c_category_t *category, uint32_t location, const char *key, char *value,
                                 uint32_t size, pdsKeyCallback callback);

/*
 * Queues key := value for the service thread and returns without waiting.
 * 0 queued, 2 location other than 1, 5 key or value missing or longer than
 * 30 characters, 4 refused at once while the service does not serve (not
 * enabled, paused or terminated; logged) or no free request within 5 s. Any
 * thread.
 */
int persistentDataStorage_SetKey(log4c_category_t *category, uint32_t location, const char *key, const char *value);

/* Queues the deletion of every key (factory default). 0 queued, 2 bad location, 4 refused as SetKey is. */
int persistentDataStorage_Delete(log4c_category_t *category, uint32_t location);

/* Copies at most *size bytes of the restore point; *size becomes the count. 0, or 3 when not ready. */
int persistentDataGetRestorePoint(log4c_category_t *category, uint8_t *buffer, uint32_t *size);

/*
 * Installs a restore point received from the controller, writes the file and
 * queues SYNC_DONE. 0; 5 (logged, nothing changes) when size is above 65,536.
 */
int persistentDataSetRestorePoint(log4c_category_t *category, const uint8_t *buffer, uint32_t size);

/* Asks the controller to fetch the restore point (run 4 s after the last change). */
void persistentDataStorage_NewRestorePointCreated(log4c_category_t *category);

/* The controller's restore-point messages (payload integers big-endian); replies go to `source`. */
void persistentDataStorage_GetRestorePointMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                              uint32_t length);
void persistentDataStorage_RestorePointDataMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                               uint32_t length);
void persistentDataStorage_RestorePointCompletedMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                                    uint32_t length);
void persistentDataStorage_NewRestorePointStoredMsg(log4c_category_t *category, uint32_t source, const uint8_t *payload,
                                                    uint32_t length);

#endif
