#ifndef KVR_STRATA_H
#define KVR_STRATA_H

/*
 * The frame-controller link as the rest of the firmware sees it: sending
 * messages to the controller (queued or at once), acknowledging received
 * ones, and the card's frame slot address learned from the link.
 *
 * Until the link runs (no port open, no controller seen), every send is
 * logged at DEBUG with its bytes and refused as a closed port refuses it.
 * All functions may be called from any thread.
 */

#include <cstdint>
#include <log4c.h>

enum {
    STRATA_MSG_REPORT = 0,
    STRATA_MSG_UNCHECKED = 1,
    STRATA_MSG_REQUEST = 2,
    STRATA_MSG_REPLY = 3,
    STRATA_CONTROLLER_ADDRESS = 0x15,
    STRATA_OPCODE_ACK = 0x0000,
    STRATA_OPCODE_NACK = 0x0001,
    STRATA_OPCODE_SAVE_RESTORE_POINT = 0x102d,
    STRATA_PAYLOAD_MAX = 100,
};

/* Queues a message for the send thread. 1 queued, 0 dropped. */
int strataSrvSendMessage(log4c_category_t *category, uint32_t type, uint32_t destination, uint16_t opcode,
                         const uint8_t *payload, uint32_t size);

/* Sends a message at once. 0 when handed on, -1 when the port is closed or the link state forbids it. */
int strata_sendmsg(uint32_t type, uint32_t address, uint16_t opcode, const uint8_t *data, uint32_t length);

/* ACK (opcode 0, no data) and NACK (opcode 1, one error byte), type 3, at once. */
void strata_send_ack(uint32_t address);
void strata_send_nack(uint32_t address, uint8_t error);

/* The card's frame slot address from the link (0 while unknown). */
uint16_t strataGetCardId(void);

#endif
