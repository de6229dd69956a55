#include "main/startup.h"

#include "layoutManager/layoutManager.h"
#include "persistentDataStorage/persistentDataStorage.h"
#include "platform/platform.h"
#include "strata/strata.h"
#include "probing/discovery.h"
#include "probing/probing.h"

/*
 * What the services lend the stream settings of the platform: the restore
 * point, the ATDM_MODE_CHANGED_EVENT, the audio probes, the SDTI/MADI
 * insertion and the ATDM availability answer.
 */

/*
 * The restore point's listeners carry no context: one forwarding function
 * per listener slot, each calling the platform listener registered there.
 */
enum { STREAM_LISTENER_SLOTS = 4 };
static platformKeyListener_t listenerSlots[STREAM_LISTENER_SLOTS];

template <int slot> static void forwardKeyChange(const pdsKeyCallbackInfo *info, log4c_category_t *category)
{
    if (!info || !listenerSlots[slot])
        return;
    platformKeyChange_t change = {info->category ? info->category : category, info->found, info->key, info->value};
    listenerSlots[slot](&change);
}

static const pdsKeyCallback forwarders[STREAM_LISTENER_SLOTS] = {forwardKeyChange<0>, forwardKeyChange<1>,
                                                                 forwardKeyChange<2>, forwardKeyChange<3>};

static pdsKeyCallback forwarderFor(platformKeyListener_t listener)
{
    if (!listener)
        return nullptr;
    for (int slot = 0; slot < STREAM_LISTENER_SLOTS; slot++) {
        if (listenerSlots[slot] == listener)
            return forwarders[slot];
        if (!listenerSlots[slot]) {
            listenerSlots[slot] = listener;
            return forwarders[slot];
        }
    }
    return nullptr;
}

static int getKey(log4c_category_t *category, const char *key, char *value, uint32_t size,
                  platformKeyListener_t listener)
{
    return persistentDataStorage_GetKey(category, PDS_LOCATION_RESTORE_POINT, key, value, size,
                                        forwarderFor(listener));
}

static int setKey(log4c_category_t *category, const char *key, const char *value)
{
    return persistentDataStorage_SetKey(category, PDS_LOCATION_RESTORE_POINT, key, value);
}

static void atdmAvailabilityBroadcast(log4c_category_t *category)
{
    platformAtdmAvailability(category, 1, 1, nullptr);
}

void mainRegisterStreamHooks(void)
{
    static const platformStreamHooks_t hooks = {getKey,
                                                setKey,
                                                targetEventAtdmModeChanged,
                                                audioProbeSelection,
                                                sdtiMadiInsertionUpdate,
                                                atdmAvailabilityBroadcast};
    platformRegisterStreamHooks(&hooks);
    strataRegisterVlanReadyHook(vancMetaDataInterfaceInit);
    strataRegisterDiscoveryHooks(discoveryFrameStatusChanged, discoveryIPAddressChanged, discoverySetStrataFrameType);
}
