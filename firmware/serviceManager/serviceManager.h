#ifndef KVR_SERVICEMANAGER_H
#define KVR_SERVICEMANAGER_H

/*
 * Layer: below the services (every service and device module includes it).
 * May include hal only; the configuration service lends it its reader, main
 * hands it the services lists.
 */

/*
 * The service manager: every long-lived activity of the firmware is a service,
 * one static serviceDescriptor. The manager initialises the services of a list,
 * starts their threads and pre-start functions in 100 ms start-up ticks, lets
 * the configuration decide which threads run, pauses and terminates them.
 *
 * All manager calls run on main's thread. Service threads read `state` and
 * write 0 into it when they end.
 */

#include <atomic>
#include <log4c.h>
#include <pthread.h>
#include <semaphore.h>

enum {
    SERVICE_STATE_INIT = 0,
    SERVICE_STATE_RUN = 1,
    SERVICE_STATE_PAUSE = 2,
    SERVICE_STATE_TERMINATE = 3,
};

struct serviceDescriptor;

typedef void (*serviceFunction)(serviceDescriptor *service);
typedef void (*serviceControlFunction)(serviceDescriptor *service, int newState, int previousState);

/*
 * One service. The first eight fields are the static description; the rest is
 * filled by the manager. A thread function must poll `state`: 1 run, 2 wait on
 * `semaphore`, anything else return.
 */
struct serviceDescriptor {
    const char *name;
    const char *categoryName;
    serviceFunction init;                /* run by initService, may be null */
    serviceFunction preStart;            /* run in the service's start-up tick, may be null */
    serviceFunction threadEntry;         /* null: the service has no thread */
    serviceControlFunction control;      /* called on terminate, may be null */
    int priority;                        /* SCHED_FIFO priority of the thread */
    void *context;

    log4c_category_t *category = nullptr;
    pthread_t thread = pthread_t();
    std::atomic<int> state{SERVICE_STATE_INIT};
    sem_t semaphore = sem_t();
    int semaphoreCreated = 0;            /* the semaphore exists and may be posted */
    std::atomic<int> threadRunning{0};   /* the thread exists and may still use the semaphore */
};

/*
 * Opens the runner file "/var/run/ulmfirmware" (through the hal), creates the
 * runner semaphore and runs initService for every service in list order.
 */
void serviceManagerInit(serviceDescriptor *const *list, int count);

/* Takes the service's category, runs its init, sets state 0. */
void initService(serviceDescriptor *service);

/*
 * Creates the service threads and runs the pre-start functions in 100 ms
 * ticks chosen by "service.%s.postponeStartup". Returns after at most 100 ticks.
 */
void serviceManagerStart(serviceDescriptor *const *list, int count);

/* Lets a started service run when "service.%s.enable" is 1. */
void serviceEnable(serviceDescriptor *service);
void serviceManagerEnable(serviceDescriptor *const *list, int count);

/*
 * 1 while the service's thread serves, or will once enabled (not started yet,
 * and "service.%s.enable" is 1); 0 for a service that is disabled, paused or
 * terminated. Any thread.
 */
int serviceManagerServing(serviceDescriptor *service);

/* State 2 for every service; threads wait on their semaphores at their next turn. */
void serviceManagerPause(serviceDescriptor *const *list, int count);

/*
 * State 3, control function, wakes the thread and waits (at most about 0.5 s)
 * for it to leave. A semaphore is destroyed only once its thread has left.
 */
void terminateService(serviceDescriptor *service);

/* terminateService for every service in list order, then closes the runner file. */
void serviceManagerTerminate(serviceDescriptor *const *list, int count);

/* Liveness hook that service loops call; it does nothing. */
void serviceThreadAlive(int threadNumber);

/*
 * The body of a service that has nothing to do yet: blocks on the service
 * semaphore while the state is run or pause and returns on any other state.
 */
void serviceManagerIdle(serviceDescriptor *service);

/*
 * The reader of the integer keys "service.%s.postponeStartup" and
 * "service.%s.enable"; the configuration service registers it at init. Until
 * then every key reads 0. main's thread.
 */
void serviceManagerSetConfigReader(int (*read)(const char *key));

/*
 * Builds the configuration key "service.<name>.<parameter>" into out (at most
 * 50 characters). Returns out.
 */
char *serviceManagerConfigKey(char *out, size_t size, const serviceDescriptor *service, const char *parameter);

#endif
