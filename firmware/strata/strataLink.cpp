#include "strata/strata.h"

#include <cstdio>
#include <string>

/*
 * The link's send side while no port is open: every message is written to the
 * link's log (type, address, opcode and payload in hex) and refused.
 */
static log4c_category_t *strataLinkCategory(void)
{
    static log4c_category_t *category = log4c_category_get("ulm.firmware.strataLink");
    return category;
}

static std::string strataHex(const uint8_t *data, uint32_t length)
{
    std::string text;
    char byte[4];
    for (uint32_t i = 0; data && i < length; i++) {
        snprintf(byte, sizeof byte, "%02x", data[i]);
        text += byte;
    }
    return text;
}

static void strataLogMessage(const char *function, uint32_t type, uint32_t address, uint16_t opcode,
                             const uint8_t *data, uint32_t length)
{
    log4c_category_log(strataLinkCategory(), LOG4C_PRIORITY_DEBUG,
                       "%s: port closed, message not sent: type %u address 0x%02x opcode 0x%04x length %u data [%s]",
                       function, type, address, opcode, length, strataHex(data, length).c_str());
}

int strataSrvSendMessage(log4c_category_t *category, uint32_t type, uint32_t destination, uint16_t opcode,
                         const uint8_t *payload, uint32_t size)
{
    if (size > STRATA_PAYLOAD_MAX) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: strata message payload size %d is too big(max:%d)! Dropping strata messages!",
                           __func__, size, STRATA_PAYLOAD_MAX);
        return 0;
    }
    strataLogMessage(__func__, type, destination, opcode, payload, size);
    return 0;
}

int strata_sendmsg(uint32_t type, uint32_t address, uint16_t opcode, const uint8_t *data, uint32_t length)
{
    strataLogMessage(__func__, type, address, opcode, data, length);
    return -1;
}

void strata_send_ack(uint32_t address)
{
    strataLogMessage(__func__, 3, address, STRATA_OPCODE_ACK, nullptr, 0);
}

void strata_send_nack(uint32_t address, uint8_t error)
{
    strataLogMessage(__func__, 3, address, STRATA_OPCODE_NACK, &error, 1);
}

uint16_t strataGetCardId(void)
{
    return 0;
}
