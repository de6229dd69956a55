#include "main/startup.h"

#include "serviceManager/serviceManager.h"

/*
 * The services lists. Each service module defines its own descriptor; adding
 * a service means one row here and nothing else outside its module. They are
 * named here, above the services, so that the service manager below them
 * names none.
 */
extern serviceDescriptor deviceManagerService;
extern serviceDescriptor debugerService;
extern serviceDescriptor interruptControllerService;
extern serviceDescriptor pcodeProcessorService;
extern serviceDescriptor configManagerService;
extern serviceDescriptor probingService;
extern serviceDescriptor ethernetProbingService;
extern serviceDescriptor fifoServerService;
extern serviceDescriptor ledManagerService;
extern serviceDescriptor strataService;
extern serviceDescriptor layoutManagerService;
extern serviceDescriptor systemConfigHandlerService;
extern serviceDescriptor persistentDataStorageService;
extern serviceDescriptor loudnessManagerService;
extern serviceDescriptor hdrManagerService;

/*
 * Cards in slots A and B, and the list the firmware starts with.
 * deviceManager stands first so its init runs before any other.
 */
#define HYBRID_SERVICES                                                                           \
    &deviceManagerService, &debugerService, &interruptControllerService, &pcodeProcessorService,  \
        &configManagerService, &probingService, &ethernetProbingService, &fifoServerService,      \
        &ledManagerService, &strataService, &layoutManagerService, &systemConfigHandlerService,   \
        &persistentDataStorageService, &loudnessManagerService, &hdrManagerService

serviceDescriptor *const hybridServicesList[HYBRID_SERVICES_COUNT] = {HYBRID_SERVICES};

/* Cards in slots C to F: the same without fifoServer. */
serviceDescriptor *const videoServicesList[VIDEO_SERVICES_COUNT] = {
    &deviceManagerService,
    &debugerService,
    &interruptControllerService,
    &pcodeProcessorService,
    &configManagerService,
    &probingService,
    &ethernetProbingService,
    &ledManagerService,
    &strataService,
    &layoutManagerService,
    &systemConfigHandlerService,
    &persistentDataStorageService,
    &loudnessManagerService,
    &hdrManagerService,
};

serviceDescriptor *startUpServicesList[HYBRID_SERVICES_COUNT] = {HYBRID_SERVICES};

int startUpServicesCount = HYBRID_SERVICES_COUNT;
