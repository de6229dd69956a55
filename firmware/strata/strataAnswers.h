#ifndef KVR_STRATA_ANSWERS_H
#define KVR_STRATA_ANSWERS_H

/* Layer: services (part of the strata module). May include platform. */

/*
 * The card's answers to the frame controller's status queries and router
 * settings. Replies are built from this card's status block in the shared
 * memory (16-bit big-endian words at 6380 x slot index + byte offset).
 */

#include "strata/strata.h"

#include <cstdint>
#include <log4c.h>

/* What the video probes know of one input (the fields the status answers read). */
struct strataVideoInputRecord {
    uint32_t inputIndex;
    uint32_t format;     /* 0xFF and 0xFFFF unknown */
    uint32_t valid;      /* 1 valid */
    uint32_t eavSavError;
    uint32_t frameRate;  /* hundredths of a hertz: 2500, 2997, 5000, 5994 */
};

/* The probes' record of an input, through the reader they lent. 0, or -1 while no probe has registered its reader. */
int strataVideoInputData(uint32_t input, strataVideoInputRecord *out);

/* Readers lent by the modules above: the SDI output heads, the video probes and the MADI state of input 8. */
void strataRegisterHeadStatusReader(const sdiOutputStatusRecord *(*reader)(uint32_t head));
void strataRegisterVideoInputReader(int (*reader)(uint32_t input, strataVideoInputRecord *out));
void strataRegisterMadiReader(int (*reader)(void));
/* The SDI output record of a head through the registered reader; null without one or for heads other than 0-1. */
const sdiOutputStatusRecord *strataHeadStatus(uint32_t head);

/* Replaces the shared-memory reader of status-block words (null restores it). For tests. */
void strataAnswersSetBlockWordReader(uint16_t (*reader)(uint32_t byteOffset));
/* Replaces the shared-memory writer of status-block words (null restores it). For tests. */
void strataAnswersSetBlockWordWriter(int (*writer)(uint32_t byteOffset, const uint8_t *word));
/* The pause between saving the restore point and a FACTORY_DEFAULT reboot (5 s on the card). */
void strataAnswersSetFactoryRebootPause(uint32_t milliseconds);

/* Name of a 6-bit video format index; "Unsupported format" above 54. */
const char *strataVideoFormatName(uint32_t index);

/* Answer functions: build the reply and queue it under `type` to `destination`. */
void platformStrataAnswer6002(uint32_t type, uint32_t destination, uint32_t index);
void platformStrataAnswer6004(uint32_t type, uint32_t destination, uint32_t index);
void platformStrataAnswer6006(uint32_t type, uint32_t destination);
void platformStrataAnswer6008(uint32_t type, uint32_t destination);
void platformStrataAnswer6010(uint32_t type, uint32_t destination);
void platformStrataAnswer6018(uint32_t type, uint32_t destination);
void platformStrataAnswer6101(uint32_t type, uint32_t destination);
void platformStrataAnswer6103(uint32_t type, uint32_t destination, uint32_t index);
void platformStrataAnswer6105(uint32_t type, uint32_t destination);
void platformStrataAnswer6107(uint32_t type, uint32_t destination);
void platformStrataAnswer6109(uint32_t type, uint32_t destination);
void platformStrataAnswer6111(uint32_t type, uint32_t destination);
void platformStrataAnswer1008(uint32_t type, uint32_t destination);
void platformStrataAnswer7001(uint32_t type, uint32_t destination, uint32_t value);
void platformStrataAnswer7004(uint32_t type, uint32_t destination);

/* 6-byte IN_STATUS / OUT_STATUS records: 0, or 3 when the record (input) or the buffer is missing. */
int platformStrataGetInputStatus(log4c_category_t *category, const strataVideoInputRecord *record, uint8_t out[6]);
int platformStrataGetOutputStatus(log4c_category_t *category, uint32_t head, const sdiOutputStatusRecord *record,
                                  uint8_t out[6]);

/* Stream type of input 0-8 (input, mode) or of all inputs (255: mode in out[0]). 0, or 4 for another input. */
int platformGetAtdmMDXMode(log4c_category_t *category, uint32_t input, uint8_t out[2]);
/* 0, or 4 for mode 2 or more or an unknown input. */
int platformSetAtdmMDXMode(log4c_category_t *category, uint32_t input, uint32_t mode, uint32_t *changed);

/*
 * Unsolicited IN_STATUS: kind 4 one input's record, 5 the MADI input (8), 2
 * (genlock) all nine inputs in order. Only queues.
 */
void platformStrataMessageVigiloInputStatusUnsolicited(log4c_category_t *category, uint32_t kind,
                                                       const strataVideoInputRecord *record);
/* Forgets the stored output copies (tests). */
void strataAnswersResetOutputCopies(void);

/* Controller status word at byte 1184: 0x0008 at start, then bits 0-2 = status & 7. */
void platformReportStrataControllerStatus(log4c_category_t *category, uint32_t status, uint32_t start);

/* FACTORY_DEFAULT (0x001C): runs the reset steps its flags ask for. */
void platformStrataMessageVigiloFactoryDefault(uint32_t source, const uint8_t *data, uint32_t length);

#endif
