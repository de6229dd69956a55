#include "strata/strataPrivate.h"

#include "fwEnv/fwEnv.h"

#include <cctype>
#include <cstdio>
#include <cstring>

/*
 * Boot-environment writes asked for by the frame controller: single
 * properties and the Ethernet MAC addresses of SET_ETH_CONFIG_MAC.
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
