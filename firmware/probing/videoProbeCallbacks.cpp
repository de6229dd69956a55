#include "probing/probing.h"

#include <pthread.h>

/*
 * The video probes' change callbacks: at most five, called in order of
 * registration with each format change of an input.
 */

static struct {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    videoProbeChangedCallback_t callbacks[PROBING_VIDEO_CALLBACKS];
    int count;
} videoProbeCallbacks;

int videoProbeChangedCallbackRegister(videoProbeChangedCallback_t callback)
{
    log4c_category_t *category = log4c_category_get("ulm.firmware.probingSrvc");
    if (!callback) {
        log4c_category_log(category, LOG4C_PRIORITY_ERROR, "%s failed, Bad arguments!", __func__);
        return 0;
    }
    pthread_mutex_lock(&videoProbeCallbacks.mutex);
    int registered = videoProbeCallbacks.count < PROBING_VIDEO_CALLBACKS;
    if (registered)
        videoProbeCallbacks.callbacks[videoProbeCallbacks.count++] = callback;
    pthread_mutex_unlock(&videoProbeCallbacks.mutex);
    if (!registered)
        log4c_category_log(category, LOG4C_PRIORITY_ERROR,
                           "%s Failed to register with probe format changer call-back service because Max "
                           "notification obtained!",
                           __func__);
    return registered;
}

void probingVideoProbeNotifyChange(const void *changeRecord)
{
    videoProbeChangedCallback_t callbacks[PROBING_VIDEO_CALLBACKS];
    pthread_mutex_lock(&videoProbeCallbacks.mutex);
    int count = videoProbeCallbacks.count;
    for (int i = 0; i < count; i++)
        callbacks[i] = videoProbeCallbacks.callbacks[i];
    pthread_mutex_unlock(&videoProbeCallbacks.mutex);
    for (int i = 0; i < count; i++)
        callbacks[i](changeRecord);
}

/*
 * Bridge-in probing packets, after the read of the 16 packet status words:
 * the packets of an upstream card are present while its word has bit 15 and
 * a non-zero count in its low 14 bits. The upstream cards are the other
 * cards of slots A-D (those with SDTI probing); the presence byte of each
 * one's block (first byte of the word at 2048) carries that card's SDTI
 * enable in bit card + 1.
 */
enum { PRESENCE_OFFSET = 2048, PACKET_PRESENT = 0x8000, PACKET_COUNT_MASK = 0x3FFF };

static uint32_t packetsPresent[PROBING_SDTI_ROWS];

void videoProbingPacketStatusesReady(probingAction *action)
{
    static const char *const fn = "videoProbingPacketStatusesReady";
    log4c_category_t *category = log4c_category_get("ulm.firmware.probingSrvc");
    uint8_t *base = (uint8_t *)probingTargetSharedMemory();
    const uint8_t *words = (const uint8_t *)action->destination;
    if (!base || !words)
        return;
    uint32_t slot = platformGetCardSlotIndex();
    for (uint32_t card = 0; card < PROBING_SDTI_ROWS; card++) {
        if (card == slot)
            continue;
        uint16_t status = probingBigEndian(words + 2 * card);
        uint32_t present = (status & PACKET_PRESENT) && (status & PACKET_COUNT_MASK);
        if (present != packetsPresent[card]) {
            packetsPresent[card] = present;
            log4c_category_log(category, LOG4C_PRIORITY_NOTICE,
                               present ? "%s BridgeIn: Detected probing packets for upstream card %d." :
                                         "%s BridgeIn: Lost probing packets for upstream card %d.",
                               fn, (int)card);
        }
        uint8_t *presence = base + PROBING_BLOCK_SIZE * card + PRESENCE_OFFSET;
        const uint8_t bit = (uint8_t)(1u << (card + 1));
        *presence = (uint8_t)(sdtiProbeEnabled[card] ? *presence | bit : *presence & ~bit);
    }
}
