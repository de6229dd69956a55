#ifndef KVR_SYSTEMCONFIGHANDLERPRIVATE_H
#define KVR_SYSTEMCONFIGHANDLERPRIVATE_H

/* Declarations shared by the files of the system-configuration service and its tests. */

#include "systemConfigHandler/systemConfigHandler.h"

#include <cstdint>

enum {
    SC_VIDEO_INPUTS = 9,
    SC_FORMAT_SETS = 4,                 /* format indexes 0 to 3 */
    SC_ZONES = 4,
    SC_FORMAT_NONE = 5,                 /* index and class of an unsupported format */
    SC_FREEZE_THRESHOLD_MAX = 16,
    SC_BLOCK_BASE = 0x1040,             /* DPS-FPGA block of input n at base + 128 n */
    SC_BLOCK_STRIDE = 128,
    SC_BLOCK_REGISTERS = 12,
    SC_LUMA_OFFSET = 0x20,
    SC_TELETEXT_OFFSET = 0x21,
    SC_BLACK_FREEZE_PCODE_SIZE = 55,    /* header, slot, channel, format index, 4 zones of 12 bytes */
    SC_QUEUE_RECORDS = 50,
    SC_LUMA_DEFAULT = 0x5157,           /* threshold 343, 5 hits */
    SC_RESULT_OBSOLETE = 5,
    SC_RESULT_BAD = 6,
};

/* A format code's (format index, format class); (5, 5) for a format without freeze detection. */
void systemConfigHandlerClassifyFormat(uint32_t formatCode, uint32_t *index, uint32_t *formatClass);

/* Pixel and line counter conversions of format index 0-3; any other index logs and gives 0. */
uint16_t systemConfigHandlerConvertHPixel(uint32_t value, uint32_t formatIndex);
uint16_t systemConfigHandlerConvertVLine(uint32_t value, uint32_t formatIndex);

/* Packed decimal, one digit per 4 bits, lowest digit lowest (1234 gives 0x1234). */
uint32_t numberToBcd(uint32_t n);

/* The pcode handlers' work with its result: 0 done, 6 refused (short, bad channel, format or threshold). */
int systemConfigHandlerBlackFreeze(const uint8_t *pcode, uint32_t length);
/* The set-device listener's work: 0, 5 an obsolete register, 6 an input without a probe. */
int systemConfigHandlerTeletextPageDetection(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value);

/* The reboot pcode's handler: asks the hal to reboot; a pcode without its slot and action bytes is refused. */
void forceCodeReboot(const uint8_t *pcode, uint32_t length);

/*
 * Serves at most one queued format change on the caller's thread, waiting up
 * to timeoutMs for one. 1 when a change was served. The thread's loop; tests
 * call it directly.
 */
int systemConfigHandlerServeNext(int timeoutMs);

/* Records free in the queue's pool. */
uint32_t systemConfigHandlerFreeCount(void);

#endif
