#ifndef KVR_FUZZ_LAYOUTFUZZSUPPORT_H
#define KVR_FUZZ_LAYOUTFUZZSUPPORT_H

/*
 * The layout manager as the service manager starts it (init, which loads
 * layout.bin, then pre-start, which applies it to every head), with messages
 * served on the fuzzer's own thread.
 */

#include "FuzzSupport.h"

#include "layoutManager/layoutManager.h"
#include "layoutManager/layoutManagerPrivate.h"
#include "main/startup.h"
#include "serviceManager/serviceManager.h"

#include <cstring>

namespace fuzzSupport {

/* Serves everything queued for the layout thread. */
inline void layoutDrain()
{
    while (layoutManagerServeNext(0))
        ;
}

inline void layoutStart()
{
    cardRoot();
    static const layoutPcodeRemap initial[LAYOUT_HEAD_COUNT] = {{0, 4, 0, 0}, {1, 4, 1, 0}, {2, 5, 0, 0}, {3, 5, 1, 0}};
    memcpy(layoutPcodeRemapTable, initial, sizeof initial);
    mainRegisterModules();
    initService(&layoutManagerService);
    layoutManagerTargetEventApplyCardSlot(0);
    layoutManagerService.preStart(&layoutManagerService);
    targetSet4kMode(0);
    layoutDrain();
}

} // namespace fuzzSupport

#endif
