#include "deviceManager/deviceManager.h"
#include "serviceManager/serviceManager.h"

/*
 * The device manager's service: no thread, init creates every device's
 * handler, control deletes them at termination. It stands first in every
 * services list, so its init runs before any other service's. The context is
 * the device table.
 */
serviceDescriptor deviceManagerService = {
    "deviceManager", "ulm.firmware.deviceManager",
    deviceManagerInit, nullptr, nullptr, deviceManagerTerminate,
    0, (void *)deviceTable,
};
