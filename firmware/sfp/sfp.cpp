#include "sfp/sfp.h"

void sfpApplyStoredTxDisable(log4c_category_t *category)
{
    log4c_category_log(category, LOG4C_PRIORITY_DEBUG, "%s: SFP transmitters keep their power-on state", __func__);
}
