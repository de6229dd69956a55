#ifndef KVR_HAL_PRIVATE_H
#define KVR_HAL_PRIVATE_H

/* What the hal's files share among themselves. */

#include "hal/hal.h"

/* The SPI emulator's socket channel: device "socket" (port 5131) or "socket:PORT". */
extern const halDeviceBackend_t halSpiSocketBackend;

/* The ethernet-probing device below a card root: a sequenced-packet socket, one buffer per message. */
extern const char HAL_NET_PROBING_DEVICE[];
extern const halDeviceBackend_t halNetProbingBackend;

/* Opens a device node through the given backend (null: the host node). As halDeviceOpen. */
int halDeviceOpenWith(const halDeviceBackend_t *backend, const char *cardPath);

#endif
