#ifndef KVR_QVSINTERFACEPRIVATE_H
#define KVR_QVSINTERFACEPRIVATE_H

#include "qvsInterface/qvsInterface.h"

/* The operations of local mode. */
extern const qvsInterfaceOps qvsInterfaceLocalOps;

/* The operations of the chosen mode (all null before initQvsInterface). */
const qvsInterfaceOps *qvsInterfaceCurrentOps(void);

/* "ulm.firmware.qvsInterface" */
log4c_category_t *qvsInterfaceCategory(void);

/* Forgets the card regions recorded from the header file. */
void qvsInterfaceClearCardRegions(void);

#endif
