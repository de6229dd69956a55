#include "strata/strataPrivate.h"

#include "fwEnv/fwEnv.h"
#include "hal/hal.h"
#include "platform/platform.h"
#include "utilsHost/utilsHost.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

/*
 * The card's identity on the frame controller's link (identity words, model
 * name, the label on the controller's menu), the values the controller
 * monitor polls (frame status and type, the VLAN-2 address, the controller's
 * capabilities) and the boot-environment writes the controller asks for.
 */

void setFlashProperty(const char *name, const char *value, log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s: writing in flash %s=%s", __func__, name, value);
    const char *argv[] = {"fw_setenv", name, value};
    if (fwEnvSetEnv(3, argv) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: could not write %s", __func__, name);
}

/* Six fields of exactly two hex digits separated by ':' ("00:11:22:33:44:55"). */
int strataIsMacText(const char *text)
{
    if (strlen(text) != 17)
        return 0;
    for (int i = 0; i < 17; i++) {
        if (i % 3 == 2 ? text[i] != ':' : !isxdigit((unsigned char)text[i]))
            return 0;
    }
    return 1;
}

void liveUpdateMsgProcessing(uint8_t slot, uint16_t device, uint16_t reg, uint32_t value)
{
    (void)slot;
    (void)device;
    (void)reg;
    if (value == 1) {
        log4c_category_log(strataCategory(), LOG4C_PRIORITY_INFO, "%s: Liveupdate Started,...", __func__);
        const uint32_t on = 1;
        platformSetStatusLedIndication(&on);
    } else if (value == 0) {
        log4c_category_log(strataCategory(), LOG4C_PRIORITY_INFO, "%s: Liveupdate Finished.", __func__);
        const uint32_t off = 0;
        platformSetStatusLedIndication(&off);
    }
}

void platformStrataSetMACAddress(log4c_category_t *category, const uint8_t *data, uint32_t length)
{
    enum { MESSAGE_SIZE = 19 };
    if (!data || length != MESSAGE_SIZE || data[MESSAGE_SIZE - 1] != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: SET_ETH_CONFIG_MAC bad message format.", __func__);
        return;
    }
    const char *text = (const char *)data + 1;
    /* A field such as "fff" that "%x" accepts would be stored raw; only the exact form is taken. */
    if (!strataIsMacText(text)) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s SET_ETH_CONFIG_MAC Unkown MAC Format %s", __func__,
                           text);
        return;
    }
    uint32_t index = data[0];
    if (index != 1 && index != 2) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s SET_ETH_CONFIG_MAC bad idx. %d", __func__, (int)index);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s Received SET_ETH_CONFIG_MAC eth %d MAC %s", __func__,
                       (int)index, text);
    setFlashProperty(index == 1 ? "eth1addr" : "eth2addr", text, category);
}

/* ---- identity, model name and card label ---- */

static char strataCardLabel[STRATA_CARD_LABEL_SIZE] = "";
static char strataFwVersionText[STRATA_CARD_LABEL_SIZE] = "Unknown";
static std::atomic<int> strataConstantStringsSet{0};
static std::atomic<int> strataCardIdSeen{0};

void strataGetCardLabelText(char out[STRATA_CARD_LABEL_SIZE])
{
    memcpy(out, strataCardLabel, STRATA_CARD_LABEL_SIZE);
}

const char *strataGetFwVersionText(void)
{
    return strataFwVersionText;
}

void strataIdentityReset(void)
{
    memset(strataCardLabel, 0, sizeof strataCardLabel);
    snprintf(strataFwVersionText, sizeof strataFwVersionText, "Unknown");
    strataConstantStringsSet = 0;
    strataCardIdSeen = 0;
}

void platformSetStrataCardAndMemBlockIDs(log4c_category_t *category)
{
    uint32_t type = platformGetCardHwType();
    uint32_t frame = platformGetFrameType();
    uint32_t a = 0xB7, b = 0x89;
    if (type == 0 || type == 4 || (type == 2 && frame == 2)) {
        a = 0xA9;
        b = 0x81;
    } else if (type != 2 && type != 5) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s: Main hardware type %d detected in frame type %d is unknown!!! Defaulting Strata card an "
                           "Memory Block IDs to Default IDS (0x%x, 0x%x).",
                           __func__, (int)type, (int)frame, a, b);
    }
    strataLinkConfiguration.identityA = a;
    strataLinkConfiguration.identityB = b;
}

void platformSetStrataCardName(log4c_category_t *category)
{
    static const char *const names[] = {"QMR-1100", "QMR-1200", "QMR-1100", nullptr, "QMR-1300", "QMR-1400"};
    uint32_t type = platformGetCardHwType();
    const char *name = type < sizeof names / sizeof names[0] ? names[type] : nullptr;
    if (!name) {
        name = "QMR-UNK ";
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Main hardware type %d unknown!!! Defaulting Strata "
                           "card_name to %s.", __func__, (int)type, name);
    }
    memcpy(strataLinkConfiguration.modelName, name, 8);
    strataLinkConfiguration.modelName[8] = 0;
    memcpy(strataCardLabel, name, 8);
}

void strataSetMenuConstantStrings(void)
{
    if (strataConstantStringsSet.exchange(1))
        return;
    static const char path[] = "/usr/local/q7/conf/qvs-deployment-info.properties";
    char value[STRATA_CARD_LABEL_SIZE] = "";
    log4c_category_t *category = strataCategory();
    if (utils_getKeyValueFromFile(category, halPath(path).c_str(), "qvs.version", value, sizeof value) == 0) {
        snprintf(strataFwVersionText, sizeof strataFwVersionText, "%s", value);
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s getFwVersionValue read %s!", __func__, value);
    } else {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s getFwVersionValue failed to open file %s!", __func__,
                           path);
    }
}

/* The card's last VLAN address octet: the text after the fixed prefix, or "" when the prefix is not there. */
static std::string vlanSlotText(log4c_category_t *category)
{
    char value[64] = "";
    if (fwEnvGetEnvCopy("ipaddrvlan2", value, sizeof value) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s: Using Vlan, but Vlan Ip adress can not be found in environment variable", __func__);
        return std::string();
    }
    size_t prefix = strlen(STRATA_VLAN_PREFIX);
    if (strncmp(value, STRATA_VLAN_PREFIX, prefix) != 0 || value[prefix] == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s: Using Vlan, but ipaddrvlan2 %s does not start with the vlan prefix %s", __func__, value,
                           STRATA_VLAN_PREFIX);
        return std::string();
    }
    return value + prefix;
}

void platformStrataDoWeHandleMenu(log4c_category_t *category)
{
    const char *name = "platformStrataInit";
    strataSetMenuConstantStrings();
    platformDetectRearHardware(category);
    uint32_t slot = platformGetCardSlotIndex();
    if (slot <= 1) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s KVR Hybrid card (CARD A or B) detected therefore we will NOT handle Strata Menu. Skip "
                           "strata menu initialization",
                           name);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO,
                       "%s KVR Video card detected therefore we will handle Strata Menu. Start strata menu "
                       "initialization",
                       name);
    strataLinkConfiguration.menuRootInit = platformStrataMenuRootInit;
    strataLinkConfiguration.strataMenuRoot = strataCardMenuRoot();
    strataLinkConfiguration.isStrataMenuHandledByFirmware = 1;
    strataLinkConfiguration.statusByFirmware = 1;
    strataLinkConfiguration.qvsRelay = 0;
    /* the first 8 characters are the model name, written (again) at pre-start */
    std::string label(strataCardLabel, strnlen(strataCardLabel, sizeof strataCardLabel));
    if (label.size() < 8)
        label = (std::string(strataLinkConfiguration.modelName, strnlen(strataLinkConfiguration.modelName, 8)) +
                 "        ")
                    .substr(0, 8);
    label += "-";
    label += (char)('A' + slot);
    if (platformAreWeUsingVlan(category)) {
        std::string octet = vlanSlotText(category);
        if (!octet.empty())
            label += " SLOT " + octet;
    }
    snprintf(strataCardLabel, sizeof strataCardLabel, "%s", label.c_str());
}

void platformStrataPreServiceInit(log4c_category_t *category)
{
    strataMemBlockSelectList(category, platformGetCardSlotIndex(), platformAreWeUsingVlan(category));
    platformSetStrataCardAndMemBlockIDs(category);
    platformSetStrataCardName(category);
}

/* ---- values the controller monitor polls ---- */

static struct {
    std::atomic<void (*)(uint16_t)> frameStatusChanged{nullptr};
    std::atomic<void (*)(uint32_t)> ipAddressChanged{nullptr};
    std::atomic<void (*)(uint8_t)> setFrameType{nullptr};
    std::atomic<void (*)(log4c_category_t *)> vlanAddressesOk{nullptr};
} strataDiscoveryHooks;

void strataRegisterDiscoveryHooks(void (*frameStatusChanged)(uint16_t), void (*ipAddressChanged)(uint32_t),
                                  void (*setFrameType)(uint8_t))
{
    strataDiscoveryHooks.frameStatusChanged = frameStatusChanged;
    strataDiscoveryHooks.ipAddressChanged = ipAddressChanged;
    strataDiscoveryHooks.setFrameType = setFrameType;
}

void strataRegisterVlanReadyHook(void (*vlanAddressesOk)(log4c_category_t *category))
{
    strataDiscoveryHooks.vlanAddressesOk = vlanAddressesOk;
}

template <typename T> static void callHook(void (*hook)(T), uint32_t value)
{
    if (hook)
        hook((T)value);
}

static uint32_t dottedToHost(const uint8_t a[4])
{
    return (uint32_t)a[0] << 24 | (uint32_t)a[1] << 16 | (uint32_t)a[2] << 8 | a[3];
}

/* Reads "%d.%d.%d.%d" of a boot-environment variable. 0, or -1 when missing or malformed. */
static int envAddress(const char *name, uint8_t out[4])
{
    char value[64];
    unsigned a, b, c, d;
    char tail;
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0 ||
        sscanf(value, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
        return -1;
    out[0] = (uint8_t)a;
    out[1] = (uint8_t)b;
    out[2] = (uint8_t)c;
    out[3] = (uint8_t)d;
    return 0;
}

static void strataRebootSoon(log4c_category_t *category)
{
    usleep(strataTiming.vlanRebootPauseMs * 1000);
    rebootCard(category, PLATFORM_REBOOT_CONFIRMATION);
}

void platformSyncVlan2Address(log4c_category_t *category, uint32_t fromController, uint16_t cardId,
                              const uint8_t *address)
{
    if (!platformAreWeUsingVlan(category)) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Not using vlan2.", __func__);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Using vlan2.", __func__);
    uint8_t controller[4];
    inet_pton(AF_INET, STRATA_VLAN_CONTROLLER, controller);
    callHook(strataDiscoveryHooks.ipAddressChanged.load(), dottedToHost(controller));

    uint8_t expected[4];
    if (fromController && address) {
        memcpy(expected, address, 4);
    } else {
        inet_pton(AF_INET, STRATA_VLAN_PREFIX "0", expected);
        expected[3] = (uint8_t)cardId;
    }
    const uint8_t expectedMask[4] = {255, 255, 255, 0};
    uint8_t current[4] = {}, mask[4] = {};
    int ok = 1;
    if (envAddress("ipaddrvlan2", current) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s Environment variable ipaddrvlan2 not found.", __func__);
        ok = 0;
    }
    if (envAddress("vlan2netmask", mask) != 0) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s Environment variable vlan2netmask not found.", __func__);
        ok = 0;
    }
    if (ok && memcmp(current, expected, 4) == 0 && memcmp(mask, expectedMask, 4) == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s Environment variable ipaddrvlan2 and vlan2netmask are ok.", __func__);
        void (*ready)(log4c_category_t *) = strataDiscoveryHooks.vlanAddressesOk;
        if (ready)
            ready(category);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "%s Environment variable ipaddrvlan2 %d.%d.%d.%d and vlan2netmask %d.%d.%d.%d are NOT ok. "
                       "Expected ipaddrvlan2 %d.%d.%d.%d and vlan2netmask %d.%d.%d.%d.",
                       __func__, current[0], current[1], current[2], current[3], mask[0], mask[1], mask[2], mask[3],
                       expected[0], expected[1], expected[2], expected[3], 255, 255, 255, 0);
    char text[16];
    snprintf(text, sizeof text, "%d.%d.%d.%d", expected[0], expected[1], expected[2], expected[3]);
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: updating %s = %s", __func__, "ipaddrvlan2", text);
    setFlashProperty("ipaddrvlan2", text, category);
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: updating %s = %s", __func__, "vlan2netmask",
                       "255.255.255.0");
    setFlashProperty("vlan2netmask", "255.255.255.0", category);
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: Vlan2 addresses changed, therefore going to reboot.",
                       __func__);
    strataRebootSoon(category);
}

/* "cpuEth3HasVlan" as a decimal: 0 or 1 and found, or -1 when missing. */
static int cpuEth3HasVlan(void)
{
    char value[32];
    if (fwEnvGetEnvCopy("cpuEth3HasVlan", value, sizeof value) != 0)
        return -1;
    return (int)strtol(value, nullptr, 10);
}

void platformSyncCapabilities(log4c_category_t *category, uint8_t capabilities)
{
    log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Received CONTROLLER_CAPABILITIES message.", __func__);
    int variable = cpuEth3HasVlan();
    int missing = variable < 0;
    if (missing) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s Environment variable cpuEth3HasVlan was not found. Assuming that variable was 0 (no "
                           "support for vlan)",
                           __func__);
        variable = 0;
    }
    int present = capabilities & 1, activated = (capabilities >> 1) & 1;
    int supported = present && activated;
    const char *supports = supported ? "supports vlan" : "does not support vlan";
    if ((supported && variable == 1) || (!supported && variable == 0)) {
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s: The Strata Controller %s and we are set up correctly. Strata Controller Network Present "
                           "%d Activated %d, env var cpuEth3HasVlan is %d.",
                           __func__, supports, present, activated, variable);
        if (missing)
            setFlashProperty("cpuEth3HasVlan", "0", category);
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "%s: The Strata controller %s and we are set up incorrectly. Strata Controller Network Present "
                       "%d Activated %d, env var cpuEth3HasVlan is %d. Going to update cpuEth3HasVlan then rebooting.",
                       __func__, supports, present, activated, variable);
    setFlashProperty("cpuEth3HasVlan", supported ? "1" : "0", category);
    log4c_category_log(category, LOG4C_PRIORITY_WARN, "%s: cpuEth3HasVlan changed, therefore going to reboot.",
                       __func__);
    strataRebootSoon(category);
}

int getControllerCapabilitiesAnotherWay(log4c_category_t *category, uint8_t *capabilities)
{
    if (cpuEth3HasVlan() != 1) {
        log4c_category_log(category, LOG4C_PRIORITY_WARN,
                           "%s Patch Kvr-1003: Our vlan is not enabled because cpuEth3HasVlan env var is 0. Can't "
                           "figure out if vlan is present! Not changing anything.",
                           __func__);
        return -1;
    }
    int status = runCommand(category, "ping -c 1 -W 2 " STRATA_VLAN_CONTROLLER);
    if (status == 0) {
        *capabilities |= 3;
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s Patch Kvr-1003: The Strata Controller responded to a ping on the vlan at address %s. "
                           "Therefore the vlan is present.",
                           __func__, STRATA_VLAN_CONTROLLER);
        return 0;
    }
    if (status == 1) {
        *capabilities &= (uint8_t)~3;
        log4c_category_log(category, LOG4C_PRIORITY_INFO,
                           "%s Patch Kvr-1003: The Strata Controller did not respond to a ping on the vlan at address "
                           "%s. Therefore there is no vlan.",
                           __func__, STRATA_VLAN_CONTROLLER);
        return 0;
    }
    int saved = errno;
    log4c_category_log(category, LOG4C_PRIORITY_WARN,
                       "%s Patch Kvr-1003: We tried a ping on the vlan at address %s but the ping command failed "
                       "(ping() errno %d = %s).  Not changing anything.",
                       __func__, STRATA_VLAN_CONTROLLER, saved, strerror(saved));
    return -1;
}

void platformStrataChanged(log4c_category_t *category, uint16_t opcode, uint32_t value)
{
    if (platformGetStrataCardId() < 0xFFFF && !strataCardIdSeen.exchange(1))
        strataSetMenuConstantStrings();
    switch (opcode) {
    case STRATA_OPCODE_RESTORE_POINT_CONFIG:
        strataSetRestorePointBit(value & 1);
        break;
    case STRATA_OPCODE_FRAME_STATUS:
        callHook(strataDiscoveryHooks.frameStatusChanged.load(), value & 0xFFFF);
        break;
    case STRATA_OPCODE_IP_CONFIG_V2: {
        /* the monitor reports the interface whose address changed */
        uint32_t address = 0;
        if (value == 0 && !platformAreWeUsingVlan(category) && strataGetFrameIpAddress(0, &address, 0) == 0)
            callHook(strataDiscoveryHooks.ipAddressChanged.load(), address);
        break;
    }
    case STRATA_OPCODE_FRAME_TYPE:
        callHook(strataDiscoveryHooks.setFrameType.load(), value & 0xFF);
        break;
    case STRATA_OPCODE_VLAN2_CARD_IP: {
        if (!platformAreWeUsingVlan(category))
            break;
        log4c_category_log(category, LOG4C_PRIORITY_INFO, "%s: Double checking the strataGetVlan2CardIp message",
                           __func__);
        uint8_t record[6];
        strataGetVlan2CardIpRecord(record);
        uint16_t cardId = platformGetStrataCardId();
        if (record[0] == 0 && record[4] == 1) {
            log4c_category_log(category, LOG4C_PRIORITY_INFO,
                               "%s: Received VLAN2_CARD_IP. Vlan2 ip address is %d.%d.%d.%d. Going to check if its "
                               "what we expected.",
                               __func__, record[1], record[2], record[3], record[5]);
            const uint8_t address[4] = {record[1], record[2], record[3], record[5]};
            platformSyncVlan2Address(category, 1, cardId, address);
        } else {
            log4c_category_log(category, LOG4C_PRIORITY_INFO,
                               "%s: VLAN2_CARD_IP. Vlan2 ip message was not valid, so going to determine vlan2 ip "
                               "address from our Strata Address (slot id).",
                               __func__);
            platformSyncVlan2Address(category, 0, cardId, nullptr);
        }
        break;
    }
    case STRATA_OPCODE_CAPABILITIES:
        platformSyncCapabilities(category, (uint8_t)value);
        break;
    default:
        break;
    }
}
