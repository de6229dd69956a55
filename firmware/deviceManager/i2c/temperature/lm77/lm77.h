#ifndef KVR_LM77_H
#define KVR_LM77_H

/* Part of the device manager module (one of its devices). May include the device manager and hal. */

/*
 * The temperature sensors of the device table (I2C-Temp1, I2C-Temp2,
 * CpuTemp), read through their sysfs value files below the card root. A
 * reading is the file's millidegrees divided by 100: tenths of a degree
 * Celsius, one 16-bit integer in host byte order.
 *
 * Reads of one device run one at a time; devices are independent. The
 * functions fill the create, delete, accessSync and accessAsync slots of the
 * sensor records and may be called from any thread.
 */

#include "deviceManager/deviceManager.h"

enum { LM77_READ = 0 };

/* Creates the handler state: 0, or 3 ("LM77: failed to create semaphore"). */
uint32_t createLm77Handler(deviceObject *device, uint32_t assignedId);

/* Frees the handler state once no read runs: 0, or 3 (" invalid state exception.") without one. */
uint32_t deleteLm77Handler(deviceObject *device);

/*
 * Command 0 reads the temperature into the first 2 bytes of buffer. Results:
 * 0; 4 for any other command; 3 when the file cannot be read or holds no
 * number, or the device has no handler; 5 without a buffer.
 */
uint32_t lm77Read(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority, uint32_t count,
                  void *buffer);

/*
 * As lm77Read, then callback(device, callbackArgument, result) when a callback
 * is given. Returns the result without a callback; with one, 0 once the
 * callback has had it, so that (as for every device) a callback is called
 * exactly when the access returned 0.
 */
uint32_t lm77Access(deviceObject *device, uint32_t command, uint32_t address, uint32_t priority, uint32_t count,
                    void *buffer, void *callbackArgument, deviceAccessCallback_t callback);

#endif
