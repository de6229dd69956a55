#include "strata/strataPrivate.h"

#include "hal/hal.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "platform/platform.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

/*
 * The second stage of message execution: the card's network and system
 * configuration messages, the frame LED, the opcodes the platform answers,
 * and the relay of everything else to the QVS application.
 */

#define DEF_LOG(priority, ...) log4c_category_log(strataCategory(), priority, __VA_ARGS__)

static const char *const gfxAddressKeys[5] = {"ipaddr", "netmask", "gatewayip", "ipaddrserver1", "ipaddrserver2"};

/* Reboot by run level: "/sbin/init 6" in a child, through the hal. */
static void strataRebootByRunLevel(const char *reason)
{
    DEF_LOG(LOG4C_PRIORITY_WARN, "%s", reason);
    sync();
    halRunCommand("/sbin/init 6");
}

static int strataIsPlatformOpcode(uint16_t opcode)
{
    static const uint16_t platformOpcodes[] = {0x0008, 0x1218, 0x121A, 0x121E, 0x1220, 0x1603,
                                               0x1605, 0x233A, 0x233C, 0x6500, 0x6502};
    for (uint16_t o : platformOpcodes)
        if (o == opcode)
            return 1;
    uint32_t n = (opcode >> 4) & 0xF;
    return ((opcode & 0xFF0F) == 0x1400 || (opcode & 0xFF0F) == 0x1402) && n >= 1 && n <= 9;
}

/* Fewest data bytes of each served opcode. */
static uint32_t defaultMinimumLength(uint16_t opcode)
{
    switch (opcode) {
    case 0x001A:
    case 0x0130:
        return 13;
    case 0x0046:
        return 13;
    case 0x0049:
        return 3;
    case 0x004C:
        return 21;
    case 0x103B:
        return 4;
    default:
        return 0;
    }
}

/* Stores several typed values; 0 when every one was written. */
static int storeIpList(const char *const *keys, int count, const uint8_t *data)
{
    int failed = 0;
    for (int i = 0; i < count; i++)
        failed |= setIpParameter(keys[i], data + 4 * i, strataCategory()) != 0;
    return failed ? -1 : 0;
}

static int defaultServe(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode)
{
    log4c_category_t *category = strataCategory();
    switch (opcode) {
    case 0x0005:
        if (strataGetCommState() == 0 || !qvsHandler(data, length, opcode))
            strata_send_nack(source, STRATA_NACK_INVALID);
        return 1;
    case 0x001A:
    case 0x0130:
        if (setMacParameter("ethaddr", data + 6, category) != 0) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return 1;
        }
        DEF_LOG(LOG4C_PRIORITY_INFO, "%s: setting MAC Address number OK", __func__);
        strata_send_ack(source);
        if (data[12]) {
            DEF_LOG(LOG4C_PRIORITY_WARN, "%s: SET_MAC_NEW rebooting", __func__);
            sync();
            halRunCommand("/sbin/reboot");
        }
        return 1;
    case 0x0044: {
        uint8_t reply[19] = {1};
        getIpParameter("ipaddr", reply + 1, category);
        getIpParameter("netmask", reply + 5, category);
        getIpParameter("gatewayip", reply + 9, category);
        getMacParameter("ethaddr", reply + 13, category);
        strata_send_ack(source);
        strata_sendmsg(STRATA_MSG_REPLY, source, 0x0045, reply, sizeof reply);
        return 1;
    }
    case 0x0046:
        if (storeIpList(gfxAddressKeys, 3, data) != 0) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return 1;
        }
        strata_send_ack(source);
        updateMemBlockHandler(nullptr, 0);
        if (data[12]) {
            usleep(strataTiming.rebootPauseMs * 1000);
            strataRebootByRunLevel("defaultHandler: SET_IP_CONFIG rebooting");
        }
        return 1;
    case 0x0047: {
        DEF_LOG(LOG4C_PRIORITY_INFO, "GET_ULM_2_VIDEO_SYSTEM_CONFIG called");
        strata_send_ack(source);
        uint8_t reply[2] = {0xFF, 0xFF};
        if (getParameterUint16("cardSDIindex", reply, category) != 0)
            reply[0] = reply[1] = 0xFF;
        strata_sendmsg(STRATA_MSG_REPLY, source, 0x0048, reply, 2);
        return 1;
    }
    case 0x0049: {
        DEF_LOG(LOG4C_PRIORITY_INFO, "SET_ULM_2_VIDEO_SYSTEM_CONFIG called");
        std::string marker = halPath("/usr/local/q7/logs/doNotPerformHotSwapScriptAction");
        int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
        if (setParameterUint16("cardSDIindex", data, category) != 0) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return 1;
        }
        strata_send_ack(source);
        if (data[2])
            strataRebootByRunLevel("defaultHandler: SET_ULM_2_VIDEO_SYSTEM_CONFIG rebooting");
        return 1;
    }
    case 0x004A: {
        DEF_LOG(LOG4C_PRIORITY_INFO, "GET_ULM_2_GFX_SYSTEM_CONFIG called");
        strata_send_ack(source);
        uint8_t reply[20] = {};
        for (int i = 0; i < 5; i++)
            getIpParameter(gfxAddressKeys[i], reply + 4 * i, category);
        strata_sendmsg(STRATA_MSG_REPLY, source, 0x004B, reply, sizeof reply);
        return 1;
    }
    case 0x004C:
        DEF_LOG(LOG4C_PRIORITY_INFO, "SET_ULM_2_GFX_SYSTEM_CONFIG called");
        if (storeIpList(gfxAddressKeys, 5, data) != 0) {
            strata_send_nack(source, STRATA_NACK_WRONG_STATE);
            return 1;
        }
        strata_send_ack(source);
        if (data[20])
            strataRebootByRunLevel("defaultHandler: SET_ULM_2_GFX_SYSTEM_CONFIG rebooting");
        return 1;
    case 0x1039: {
        strata_send_ack(source);
        uint8_t revision = (uint8_t)((platformGetMainHwRev() & 0x0F) << 3 | (platformGetHwRevisionExtra() & 0x07));
        strata_sendmsg(STRATA_MSG_REPLY, source, 0x103A, &revision, 1);
        return 1;
    }
    case 0x103B: {
        /* header (class 10, id 4, byteCount 12), then slot 0, the 4 bytes and zero padding */
        uint8_t pcode[PCODE_HEADER_SIZE + 12] = {10, 4, 0, 12, 0, data[0], data[1], data[2], data[3]};
        pcodeProcessor(sizeof pcode, pcode, category);
        strata_send_ack(source);
        return 1;
    }
    default:
        break;
    }
    if (strataIsPlatformOpcode(opcode) || platformIsPrivateStrataMessage(opcode)) {
        DEF_LOG(LOG4C_PRIORITY_DEBUG, "%s: This message will be handled by platformStrata().", __func__);
        return 0;
    }
    if (!strataLinkConfiguration.qvsRelay)
        return 0;
    if (!qvsHandler(data, length, opcode))
        strata_send_nack(source, STRATA_NACK_BUSY);
    return 1;
}

int defaultHandler(uint32_t source, const uint8_t *data, uint32_t length, uint16_t opcode)
{
    DEF_LOG(LOG4C_PRIORITY_DEBUG, "in %s", __func__);
    int handled;
    if (length < defaultMinimumLength(opcode)) {
        DEF_LOG(LOG4C_PRIORITY_WARN, "%s: opcode 0x%04X needs %u data bytes, got %u", __func__, opcode,
                defaultMinimumLength(opcode), length);
        strata_send_nack(source, STRATA_NACK_WRONG_STATE);
        handled = 1;
    } else {
        handled = defaultServe(source, data, length, opcode);
    }
    DEF_LOG(LOG4C_PRIORITY_DEBUG, "out %s returned %d", __func__, handled);
    return handled;
}
