#ifndef KVR_TESTS_EMULATEDCARD_H
#define KVR_TESTS_EMULATEDCARD_H

/*
 * A card on the emulator for the tests that drive the device manager without
 * the daemon: the card root's device directories, the emulator with its vsync
 * ticker stopped (the tests deliver frames), the device manager, and the
 * platform attached to a cleared shared memory.
 */

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <log4c.h>
#include <sys/stat.h>

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "main/startup.h"
#include "platform/platformPrivate.h"

#include "../../support/TempDir.h"

namespace firmwareTest {

inline void startEmulatedCard(const TempDir &root, log4c_category_t *category, uint8_t *sharedMemory, size_t size)
{
    setenv("KVR_ROOT", root.path().c_str(), 1);
    mkdir((root / "dev").c_str(), 0755);
    mkdir((root / "dev/shm").c_str(), 0700);
    cardsimStart();
    cardsimVsyncStop();
    deviceManagerInit(nullptr);
    /* As the daemon does before its services' init: the higher modules register with the lower. */
    mainRegisterModules();
    platformResetState();
    memset(sharedMemory, 0, size);
    platformAttach(category, sharedMemory);
}

} // namespace firmwareTest

#endif
