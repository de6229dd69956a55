#include "platform/platformPrivate.h"

/*
 * Stream-mode settings and the SFP cages. At start-up the stream settings keep
 * their load-time values (hybrid mode on every input) and the SFP transmitters
 * their power-on state.
 */
void platformInitKvrVideoStreamSetting(log4c_category_t *category)
{
    pthread_mutex_lock(&platformRecord.streamMutex);
    platformRecord.atdmMdxMode = 0;
    pthread_mutex_unlock(&platformRecord.streamMutex);
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: stream mode %u", __func__, platformRecord.atdmMdxMode);
}

void sfpApplyStoredTxDisable(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: SFP transmitters keep their power-on state", __func__);
}
