#ifndef KVR_LEDMANAGER_H
#define KVR_LEDMANAGER_H

/* Layer: services. May include platform, pcodeProcessor, serviceManager, utils and hal. */

/*
 * The LED manager (service "ledManager"): arbitrates the card's LEDs between
 * clients (firmware modules and QVS through pcodes) and drives their blinking.
 * Every client keeps one request per LED; the enabled client with the highest
 * priority controls the LED (on the frame LED, equal priorities are decided by
 * the colour and state). The platform turns the chosen setting into GPIO
 * writes (platformCtrlLed) and reports frame LED changes. The LED ids, colours,
 * states and the request record are the platform's (platform.h); the manager
 * lends the platform its request and state functions at init.
 */

#include "platform/platform.h"

#include <cstdint>
#include <log4c.h>

enum {
    LED_MANAGER_LED_COUNT = 3,
    LED_MANAGER_CLIENTS_MAX = 10,
    LED_MANAGER_BLINK_MS = 500,
    LED_MANAGER_PCODE_CLASS = 10,
    LED_MANAGER_PCODE_ENABLE = 4,
    LED_MANAGER_PCODE_DISABLE = 5,
    LED_MANAGER_PCODE_ENABLE_LENGTH = 12,
    LED_MANAGER_PCODE_DISABLE_LENGTH = 8,
};

/* One LED of the table: what its controlling client chose. */
struct ledManagerLed_t {
    uint32_t ledId;
    uint8_t blinkCount;   /* 0 no blinking, 255 forever */
    uint8_t blinkRate;
    uint8_t colour;
    uint8_t enabled;
    uint32_t state;
    const char *devicePath1;
    const char *devicePath2;
    int fd1;
    int fd2;
};

/*
 * Records the client's request and applies the winning client to the LED.
 * A request for an LED id the table does not hold is refused (logged). Any
 * thread.
 */
void ledManager_LedControlRequest(log4c_category_t *category, const ledControlRequest *request);

/* Colour and state of an LED from the table. 0, or 4 when the id is unknown. */
int getLedState(log4c_category_t *category, uint32_t ledId, uint32_t *colour, uint32_t *state);

/* Colour-and-state priority used on the frame LED (0 for other combinations, logged). */
uint32_t ledManagerColourStatePriority(log4c_category_t *category, uint32_t colour, uint32_t state);

/* One blink step over the table (the service thread runs it every 500 ms). */
void ledManagerBlinkStep(void);

/* A copy of an LED's table record. 0, or 4 when the id is unknown. */
int ledManagerGetLed(uint32_t ledId, ledManagerLed_t *out);

/* Puts the table and the client lists back to their start-up state. */
void ledManagerReset(void);

/* The pcode handlers of enable (id 4) and disable (id 5), class code 10. */
void enableLedHandler(const uint8_t *pcode, uint32_t length);
void disableLedHandler(const uint8_t *pcode, uint32_t length);

#endif
