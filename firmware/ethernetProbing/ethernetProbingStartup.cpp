#include "ethernetProbing/ethernetProbing.h"

#include "deviceManager/deviceManager.h"
#include "hal/hal.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

/* The start-up of the ethernet probing: eth0's MAC address into FSM-FPGA and eth0 at 100 Mbit/s. */

namespace {
enum { RETRY_SECONDS = 3, MAC_TEXT = 17 };
}

void platformAdjustEthProbingVideoCardIndex(log4c_category_t *category, uint32_t *cardIndex)
{
    uint32_t slot = platformGetCardSlotIndex();
    if (slot <= 1)
        return;
    if (slot <= 5) {
        *cardIndex = slot;
        return;
    }
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s: Undefined card's slot id, default to Kvr card A", __func__);
    *cardIndex = 0;
}

int platformStartupEthernetProbing(log4c_category_t *category, int (*running)(void))
{
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "EthProb: %s Programming the FPGA to start the EthernetProbing.",
                       __func__);
    std::string path = halPath("/sys/class/net/eth0/address");
    FILE *file = nullptr;
    for (int logged = 0; !(file = fopen(path.c_str(), "r"));) {
        if (!logged++)
            log4c_category_log(category, LOG4C_PRIORITY_ERROR, "EthProb: %s could not open %s, retrying every %d s.",
                               __func__, "/sys/class/net/eth0/address", RETRY_SECONDS);
        if (running && !running())
            return -1;
        sleep(RETRY_SECONDS);
    }
    char text[64] = "";
    size_t got = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[got] = 0;
    unsigned mac[6];
    if (got < MAC_TEXT || sscanf(text, "%x:%x:%x:%x:%x:%x", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4], &mac[5]) != 6) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "EthProb: %s Error, could not read all Eth Mac address %s!!! Only read %d bytes.", __func__,
                           text, (int)got);
        return -1;
    }
    uint8_t words[6];
    for (int i = 0; i < 6; i++)
        words[i] = (uint8_t)mac[i];
    if (deviceManagerAccess(DEVICE_WRITE, DEVICE_FSM_FPGA, ETH_PROBING_MAC_REGISTER, 0, 3, words) != 0)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "EthProb: %s failed to program the MAC address.", __func__);
    log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "EthProb: %s Change the eth0 speed to 100 Mbps for EthernetProbing.",
                       __func__);
    int status = halRunCommand("/etc/init.d/ethprobing.sh");
    if (status == 0) {
        log4c_category_log(category, LOG4C_PRIORITY_NOTICE, "%s Succeeded to setup eth0 speed", __func__);
        return 0;
    }
    log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s Failed to setup eth0 speed, returned value %d!", __func__, status);
    return -1;
}
