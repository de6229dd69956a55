#include "strata/strataPrivate.h"

#include "fwEnv/fwEnv.h"
#include "hal/hal.h"
#include "platform/platform.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

/*
 * The MEM_BLOCK: the few boot-environment settings that the frame controller
 * keeps for the card's slot, the text exchanged with it, the check of a text
 * the controller sends back, and the typed reads and writes of single
 * boot-environment variables.
 */

#define MEM_LOG(category, priority, ...) log4c_category_log(category, priority, __VA_ARGS__)

namespace {

enum { MEM_BLOCK_KEYS_MAX = 6, MEM_BLOCK_WORK = 4096 };

const char *const slotANoVlan[] = {"ipaddr", "netmask", "gatewayip", "frameipaddr", "sfp1disable", "sfp2disable"};
const char *const slotAVlan[] = {"netmask", "gatewayip", "frameipaddr", "sfp1disable", "sfp2disable"};
const char *const otherVlan[] = {"sfp1disable", "sfp2disable"};
const char *const otherNoVlan[] = {"ipaddr", "netmask", "gatewayip", "sfp1disable", "sfp2disable"};

struct memBlockList_t {
    const char *const *keys;
    uint32_t count;
};
const memBlockList_t memBlockLists[] = {
    {slotANoVlan, 6}, {slotAVlan, 5}, {otherVlan, 2}, {otherNoVlan, 5},
};

const char *const ipValued[] = {"ipaddr", "netmask", "gatewayip", "frameipaddr"};

/* The active list: the first list until the platform chooses. Read by the receiver, set at pre-start. */
std::mutex activeMutex;
const char *activeKeys[MEM_BLOCK_KEYS_MAX] = {"ipaddr", "netmask", "gatewayip", "frameipaddr", "sfp1disable",
                                              "sfp2disable"};
uint32_t activeCount = MEM_BLOCK_KEYS_MAX;

struct activeList_t {
    const char *keys[MEM_BLOCK_KEYS_MAX];
    uint32_t count;
};

activeList_t activeList(void)
{
    std::lock_guard<std::mutex> lock(activeMutex);
    activeList_t list;
    memcpy(list.keys, activeKeys, sizeof activeKeys);
    list.count = activeCount;
    return list;
}

std::string envValue(const char *name)
{
    char value[256] = "";
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0)
        return std::string();
    return value;
}

} // namespace

void strataMemBlockSelectList(log4c_category_t *category, uint32_t slot, uint32_t vlan)
{
    const memBlockList_t &chosen = memBlockLists[slot == 0 ? (vlan ? 1 : 0) : (vlan ? 2 : 3)];
    std::lock_guard<std::mutex> lock(activeMutex);
    if (chosen.count > MEM_BLOCK_KEYS_MAX) {
        MEM_LOG(category, LOG4C_PRIORITY_ERROR,
                "%s Mem-Block: properties array too small to fit new properties list.", __func__);
        return;
    }
    for (uint32_t i = 0; i < chosen.count; i++)
        activeKeys[i] = chosen.keys[i];
    activeCount = chosen.count;
    MEM_LOG(category, LOG4C_PRIORITY_INFO,
            "%s Mem-Block: Initialized list for rearSlot %d, vlan %d (0 = no Vlan, 1 = vlan)", __func__, (int)slot,
            (int)vlan);
    for (uint32_t i = 0; i < activeCount; i++)
        MEM_LOG(category, LOG4C_PRIORITY_INFO, "%s Mem-Block: Item %d of %d is %s", __func__, (int)i + 1,
                (int)activeCount, activeKeys[i]);
}

int getStrataConfigProperties(char *buffer, uint32_t size, log4c_category_t *category)
{
    activeList_t list = activeList();
    uint32_t used = 0;
    for (uint32_t item = 0; item < list.count; item++) {
        std::string value = envValue(list.keys[item]);
        std::string line = std::string(list.keys[item]) + "=" + value + "\n";
        if (used + line.size() > size) {
            MEM_LOG(category, LOG4C_PRIORITY_ERROR, "%s: env variables too big for MEM_BLOCK", __func__);
            break;
        }
        MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: property item %d: Extracted from current ENV Vars: %s = %s",
                __func__, (int)item, list.keys[item], value.c_str());
        memcpy(buffer + used, line.data(), line.size());
        used += (uint32_t)line.size();
    }
    return (int)used;
}

int checkPropertyValue(log4c_category_t *category, const char *name, const char *value)
{
    int ipValue = 0;
    for (const char *key : ipValued)
        ipValue |= strcmp(key, name) == 0;
    if (!ipValue)
        return 1;
    size_t length = strlen(value);
    if (length < 7 || length > 15) {
        MEM_LOG(category, LOG4C_PRIORITY_ERROR,
                "The key %s does not have a valid ip addr as value %s. It should be between 7..15 chars long.", name,
                value);
        return 0;
    }
    struct in_addr address;
    if (inet_pton(AF_INET, value, &address) != 1) {
        MEM_LOG(category, LOG4C_PRIORITY_ERROR, "The key %s does not have a valid ip addr as value %s!", name, value);
        return 0;
    }
    MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "The key %s has a valid ip address in the value %s.", name, value);
    return 1;
}

int checkForDuplicateKeys(log4c_category_t *category, const char *text, uint32_t length)
{
    if (!text || length == 0)
        return 0;
    char *work = (char *)calloc(1, MEM_BLOCK_WORK);
    if (!work) {
        MEM_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot allocate memory. size %d", __func__, MEM_BLOCK_WORK);
        return 0;
    }
    if (length > MEM_BLOCK_WORK - 1) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "%s: The mem-block size %d, is bigger than the maximum expected %d.",
                __func__, (int)length, MEM_BLOCK_WORK - 1);
        length = MEM_BLOCK_WORK - 1;
    }
    memcpy(work, text, length);
    activeList_t list = activeList();
    int duplicate = 0;
    for (uint32_t k = 0; k < list.count && !duplicate; k++) {
        const char *key = list.keys[k];
        MEM_LOG(category, LOG4C_PRIORITY_DEBUG,
                "%s: Checking property '%s' for duplicates in mem-block. Property's length is %d.", __func__, key,
                (int)strlen(key));
        int found = 0;
        for (const char *line = work; *line && !duplicate;) {
            const char *end = strchr(line, '\n');
            size_t lineLength = end ? (size_t)(end - line) : strlen(line);
            const char *equals = (const char *)memchr(line, '=', lineLength);
            if (equals) {
                std::string name(line, (size_t)(equals - line));
                MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: Comparing '%s' with '%s' length %d. ", __func__,
                        name.c_str(), key, (int)strlen(key));
                if (name == key) {
                    if (found) {
                        MEM_LOG(category, LOG4C_PRIORITY_ERROR,
                                "%s: Found duplicate of property '%s' in Mem-Block. Flagging Memblock as corrupted!",
                                __func__, key);
                        duplicate = 1;
                    } else {
                        MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: Found first occurrence of property '%s'. ",
                                __func__, key);
                        found = 1;
                    }
                }
            }
            line = end ? end + 1 : line + lineLength;
        }
    }
    free(work);
    return duplicate;
}

int compareMemBlock(const char *text, uint32_t length, log4c_category_t *category)
{
    std::string received(text ? text : "", text ? strnlen(text, length) : 0);
    char *own = (char *)calloc(1, MEM_BLOCK_WORK);
    if (!own) {
        MEM_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot allocate memory. size %d", __func__, MEM_BLOCK_WORK);
        return 0;
    }
    uint32_t ownLength = (uint32_t)getStrataConfigProperties(own, MEM_BLOCK_WORK - 1, category);
    uint32_t compared = ownLength < received.size() ? ownLength : (uint32_t)received.size();
    MEM_LOG(category, LOG4C_PRIORITY_INFO, "Comparing mem_block with saved one. size is %d ", (int)compared);
    if (memcmp(own, received.data(), compared) == 0) {
        MEM_LOG(category, LOG4C_PRIORITY_INFO, "Mem-Block No config change detected!");
        free(own);
        return 0;
    }
    MEM_LOG(category, LOG4C_PRIORITY_INFO, "Mem-Block changed.");
    MEM_LOG(category, LOG4C_PRIORITY_INFO, "Old Mem-Block [size %d]:\n%s", (int)ownLength, own);
    MEM_LOG(category, LOG4C_PRIORITY_INFO, "New Mem-Block [size %d]:\n%s", (int)received.size(), received.c_str());
    free(own);
    if (checkForDuplicateKeys(category, received.c_str(), (uint32_t)received.size())) {
        MEM_LOG(category, LOG4C_PRIORITY_ERROR,
                "Mem-Block received from Strata Controller has duplicate keys! Ignoring it since it's corrupted.");
        return 0;
    }
    MEM_LOG(category, LOG4C_PRIORITY_INFO, "Check for duplicate keys in Mem-Block: Passed.");

    activeList_t list = activeList();
    int changed = 0;
    size_t at = 0;
    for (;;) {
        size_t end = received.find('\n', at);
        if (end == std::string::npos)
            break;
        size_t equals = received.find('=', at);
        if (equals == std::string::npos || equals > end)
            break;
        std::string name = received.substr(at, equals - at);
        std::string value = received.substr(equals + 1, end - equals - 1);
        at = end + 1;
        int known = 0;
        for (uint32_t i = 0; i < list.count && !known; i++) {
            MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "Checking for prop %s. Property list item %d is %s", name.c_str(),
                    (int)i, list.keys[i]);
            known = name == list.keys[i];
        }
        if (!known) {
            MEM_LOG(category, LOG4C_PRIORITY_INFO,
                    "Ignoring property '%s' since it is not known by the actual firmware.", name.c_str());
            continue;
        }
        MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "FOUND IT");
        std::string current = envValue(name.c_str());
        MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "Now comparing it's value. In Env vars %s, in Mem_block %s.",
                current.c_str(), value.c_str());
        if (current == value) {
            MEM_LOG(category, LOG4C_PRIORITY_INFO, "Ignoring property '%s' since the value '%s' is already valid.",
                    name.c_str(), value.c_str());
            continue;
        }
        MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "THEY ARE DIFFERENT!!!");
        if (!checkPropertyValue(category, name.c_str(), value.c_str())) {
            MEM_LOG(category, LOG4C_PRIORITY_ERROR,
                    "Error when parsing mem-block. The Key %s passed from the Strata controller had a value of %s which "
                    "is invalid. Ignoring it!",
                    name.c_str(), value.c_str());
            continue;
        }
        setFlashProperty(name.c_str(), value.c_str(), category);
        changed = 1;
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "GOING TO REBOOT, BUT Bypassing it!!! Because %s != to %s ",
                current.c_str(), value.c_str());
    }
    return changed;
}

/* A changed MEM_BLOCK whose reboot waits for the controller monitor's VLAN-2 query. */
static std::atomic<int> memBlockRebootPending{0};

int strataTakeMemBlockRebootPending(void)
{
    return memBlockRebootPending.exchange(0);
}

void platformSetMemBlockEvent(uint32_t changed)
{
    if (changed != 1)
        return;
    log4c_category_t *category = strataCategory();
    if (!platformAreWeUsingVlan(category)) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN,
                "%s: SET_MEM_BLOCK, environment variables are different from strata MEM_BLOCK, card will reboot!",
                __func__);
        /* runs the reboot program as a child and waits for it; the hal flushes the file systems */
        halRunCommand("sync");
        halRunCommand("/sbin/reboot");
    } else if (platformGetCardSlotIndex() <= 1) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN,
                "%s: SET_MEM_BLOCK, environment variables are different from strata MEM_BLOCK, card will reboot soon, "
                "but first we will wait to see if vlan ipaddr changed too!",
                __func__);
        memBlockRebootPending = 1;
    } else {
        MEM_LOG(category, LOG4C_PRIORITY_NOTICE,
                "%s: SET_MEM_BLOCK, environment variables are different from strata MEM_BLOCK, Cards C or D do not "
                "need to reboot when this happens.",
                __func__);
    }
}

/* ---- typed boot-environment parameters ---- */

static int strataSetEnv(const char *name, const char *value, log4c_category_t *category)
{
    const char *argv[3] = {"fw_setenv", name, value};
    MEM_LOG(category, LOG4C_PRIORITY_INFO, "%s: updating %s = %s", __func__, name, value);
    return fwEnvSetEnv(3, argv) == 0 ? 0 : -1;
}

int setIpParameter(const char *name, const uint8_t value[4], log4c_category_t *category)
{
    char text[16];
    snprintf(text, sizeof text, "%d.%d.%d.%d", value[0], value[1], value[2], value[3]);
    return strataSetEnv(name, text, category);
}

int getIpParameter(const char *name, uint8_t out[4], log4c_category_t *category)
{
    char value[64];
    unsigned a, b, c, d;
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0 || sscanf(value, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    out[0] = (uint8_t)a;
    out[1] = (uint8_t)b;
    out[2] = (uint8_t)c;
    out[3] = (uint8_t)d;
    MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: %s=%d.%d.%d.%d", __func__, name, a, b, c, d);
    return 0;
}

int setParameterUint16(const char *name, const uint8_t value[2], log4c_category_t *category)
{
    char text[8];
    snprintf(text, sizeof text, "%d", value[0] << 8 | value[1]);
    return strataSetEnv(name, text, category);
}

int getParameterUint16(const char *name, uint8_t out[2], log4c_category_t *category)
{
    char value[32];
    char *end = nullptr;
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    unsigned long number = strtoul(value, &end, 10);
    if (end == value || number > 0xFFFF) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    out[0] = (uint8_t)(number >> 8);
    out[1] = (uint8_t)number;
    MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: %s=%lu", __func__, name, number);
    return 0;
}

int getMacParameter(const char *name, uint8_t out[6], log4c_category_t *category)
{
    char value[64];
    unsigned m[6];
    if (fwEnvGetEnvCopy(name, value, sizeof value) != 0) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "%s is unknown", name);
        return 1;
    }
    if (sscanf(value, "%x.%x.%x.%x.%x.%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) == 6) {
        MEM_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: %s format is with .", __func__, name);
    } else if (sscanf(value, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "%s unknown Mac Format %s", name, value);
        return 1;
    }
    for (int i = 0; i < 6; i++)
        out[i] = (uint8_t)m[i];
    return 0;
}

int setMacParameter(const char *name, const uint8_t value[6], log4c_category_t *category)
{
    char current[64] = "";
    int present = fwEnvGetEnvCopy(name, current, sizeof current) == 0;
    const char *format = "%02x:%02x:%02x:%02x:%02x:%02x";
    if (present && strchr(current, '.'))
        format = "%02x.%02x.%02x.%02x.%02x.%02x";
    else if (present && !strchr(current, ':')) {
        MEM_LOG(category, LOG4C_PRIORITY_WARN, "%s unknown Mac Format %s", name, current);
        return -1;
    }
    char text[32];
    snprintf(text, sizeof text, format, value[0], value[1], value[2], value[3], value[4], value[5]);
    return strataSetEnv(name, text, category);
}
