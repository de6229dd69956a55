#include "probing/probing.h"

/*
 * The health monitor's post-reads. The words of the health rows land in
 * probingRawWords; their evaluation is not done yet, the post-reads only
 * note the read at debug level.
 */

void healthMonitorReadTemperatureSensors(probingAction *action)
{
    log4c_category_log(log4c_category_get("ulm.firmware.probingSrvc"), LOG4C_PRIORITY_DEBUG, "%s: %s", __func__,
                       action->name);
}

void healthMonitorReadVoltages(probingAction *action)
{
    log4c_category_log(log4c_category_get("ulm.firmware.probingSrvc"), LOG4C_PRIORITY_DEBUG, "%s: %s", __func__,
                       action->name);
}
