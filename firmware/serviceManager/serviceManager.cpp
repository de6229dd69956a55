#include "serviceManager/serviceManager.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

enum {
    START_TICK_USEC = 100000,
    LAST_START_TICK = 99,
    CONFIG_KEY_MAX = 50,
    TERMINATE_POLL_USEC = 10000,
    TERMINATE_POLLS = 50,
};

#define RUNNER_FILE "/var/run/ulmfirmware"

static struct {
    log4c_category_t *category;
    int runnerFd;
    sem_t runnerSemaphore;
    int runnerSemaphoreCreated;
    int (*configRead)(const char *key); /* lent by the configuration service; null reads 0 */
} managerContext = {nullptr, -1, sem_t(), 0, nullptr};

void serviceManagerSetConfigReader(int (*read)(const char *key))
{
    managerContext.configRead = read;
}

static int configValue(const char *key)
{
    return managerContext.configRead ? managerContext.configRead(key) : 0;
}

static log4c_category_t *managerCategory(void)
{
    if (!managerContext.category)
        managerContext.category = log4c_category_get("ulm.firmware.srvcManager");
    return managerContext.category;
}

serviceDescriptor *serviceManagerFind(serviceDescriptor *const *list, int count, const char *name)
{
    for (int i = 0; i < count; i++)
        if (list[i] && strcmp(list[i]->name, name) == 0)
            return list[i];
    return nullptr;
}

char *serviceManagerConfigKey(char *out, size_t size, const serviceDescriptor *service, const char *parameter)
{
    snprintf(out, size < CONFIG_KEY_MAX + 1 ? size : CONFIG_KEY_MAX + 1, "service.%s.%s", service->name, parameter);
    return out;
}

void serviceThreadAlive(int threadNumber)
{
    (void)threadNumber;
}

void initService(serviceDescriptor *service)
{
    service->category = log4c_category_get(service->categoryName);
    if (service->init)
        service->init(service);
    service->state = SERVICE_STATE_INIT;
    log4c_category_log(managerCategory(), LOG4C_PRIORITY_NOTICE, "%s %s: initialisation complete", __func__,
                       service->name);
}

void serviceManagerInit(serviceDescriptor *const *list, int count)
{
    managerCategory();
    std::string runner = halPath(RUNNER_FILE);
    managerContext.runnerFd = open(runner.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (managerContext.runnerFd < 0)
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR, "%s: Service: Fail to open runner file %s: %s",
                           __func__, runner.c_str(), strerror(errno));
    if (sem_init(&managerContext.runnerSemaphore, 0, 1) != 0) {
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR, "%s: Service: failed to create runner semaphore",
                           __func__);
        return;
    }
    managerContext.runnerSemaphoreCreated = 1;
    for (int i = 0; i < count; i++)
        initService(list[i]);
}

static void *serviceThreadEntry(void *argument)
{
    serviceDescriptor *service = (serviceDescriptor *)argument;
    log4c_category_log(service->category, LOG4C_PRIORITY_NOTICE, "%s: initService %s: Thread created pid is %u", __func__,
                       service->name, (unsigned)syscall(SYS_gettid));
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
    /* Without realtime rights the service goes on at normal priority (the hal logs it). */
    if (halSetRealtime(service->priority) != 0)
        log4c_category_log(service->category, LOG4C_PRIORITY_DEBUG, "%s %s: running at normal priority", __func__,
                           service->name);

    while (sem_wait(&service->semaphore) != 0 && errno == EINTR)
        ;
    if (service->state == SERVICE_STATE_RUN)
        service->threadEntry(service);

    service->state = SERVICE_STATE_INIT;
    log4c_category_log(service->category, LOG4C_PRIORITY_INFO, "%s: %s: Thread killed", __func__, service->name);
    /* Last touch of the descriptor's thread fields: terminateService may now destroy the semaphore. */
    service->threadRunning = 0;
    return nullptr;
}

/* Creates the semaphore and the detached thread of a service. 0 on success, -1 when the start must end. */
static int serviceCreateThread(serviceDescriptor *service)
{
    if (sem_init(&service->semaphore, 0, 0) != 0) {
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR, "%s: initService %s: failed to create semaphore", __func__,
                           service->name);
        return -1;
    }
    service->semaphoreCreated = 1;
    service->threadRunning = 1;
    if (halStartDetachedThread(serviceThreadEntry, service, &service->thread) != 0) {
        service->threadRunning = 0;
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR, "%s: initService %s: failed thread creation", __func__,
                           service->name);
    } else {
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_NOTICE, "%s: initService %s: thread creation OK", __func__,
                           service->name);
    }
    return 0;
}

static int servicePostponeStartup(const serviceDescriptor *service)
{
    char key[CONFIG_KEY_MAX + 1];
    return configValue(serviceManagerConfigKey(key, sizeof key, service, "postponeStartup"));
}

/* Sleeps what is left of the 100 ms tick that began at `start`. */
static void serviceSleepRestOfTick(const struct timeval *start)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    long long elapsed = (long long)(now.tv_sec - start->tv_sec) * 1000000 + (now.tv_usec - start->tv_usec);
    long long remaining = START_TICK_USEC - elapsed;
    if (remaining > START_TICK_USEC) {
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: Sleep Time %d greater than MIN %d USec Sleep! Possible due to change in system "
                           "time...Will sleep MIN USec Amount and continue! Extra Info timeEnd:%d,tv_sec:%d,tv_usec:%d "
                           "value is %d",
                           __func__, (int)remaining, START_TICK_USEC, (int)now.tv_sec, (int)start->tv_sec,
                           (int)start->tv_usec, (int)remaining);
        remaining = START_TICK_USEC;
    }
    if (remaining > 0)
        usleep((useconds_t)remaining);
}

void serviceManagerStart(serviceDescriptor *const *list, int count)
{
    if (count <= 0)
        return;
    std::vector<int> postpone((size_t)count);
    int allEqual = 1;
    for (int i = 0; i < count; i++) {
        postpone[i] = servicePostponeStartup(list[i]);
        if (postpone[i] != postpone[0])
            allEqual = 0;
    }
    log4c_category_log(managerCategory(), LOG4C_PRIORITY_NOTICE,
                       "%s: ServiceManager: ALL service inits and platformInit done! Starting each service (first "
                       "call preStart then start thread).\n",
                       __func__);
    log4c_category_log(managerCategory(), LOG4C_PRIORITY_NOTICE, "%s: %s", __func__,
                       allEqual ? "ServiceManager will start all threads from Main!"
                                : "ServiceManager will start threads independently not at one shot from Main!");

    int started = 0;
    for (int tick = 0; tick <= LAST_START_TICK && started < count; tick++) {
        struct timeval tickStart;
        gettimeofday(&tickStart, nullptr);
        log4c_category_log(managerCategory(), LOG4C_PRIORITY_DEBUG,
                           "%s: ServiceManager is checking if there are any services to run at time interval %d.",
                           __func__, tick);
        for (int i = 0; i < count; i++) {
            serviceDescriptor *service = list[i];
            bool due = postpone[i] == tick || (tick == LAST_START_TICK && postpone[i] > LAST_START_TICK);
            if (!due)
                continue;
            log4c_category_log(managerCategory(), LOG4C_PRIORITY_NOTICE,
                               "%s: ServiceManager found that Service %s must be created now (postponeStartup defined "
                               "= %d).",
                               __func__, service->name, postpone[i]);
            started++;
            if (service->threadEntry && serviceCreateThread(service) != 0)
                return;
            if (service->preStart) {
                service->preStart(service);
                log4c_category_log(service->category, LOG4C_PRIORITY_NOTICE,
                                   "%s: servicePreServiceStartInit %s: initialization complete", __func__,
                                   service->name);
            }
            if (!allEqual)
                serviceEnable(service);
        }
        serviceSleepRestOfTick(&tickStart);
    }
}

void serviceEnable(serviceDescriptor *service)
{
    if (!service->threadEntry || !service->semaphoreCreated || service->state == SERVICE_STATE_RUN)
        return;
    char key[CONFIG_KEY_MAX + 1];
    if (configValue(serviceManagerConfigKey(key, sizeof key, service, "enable")) != 1) {
        log4c_category_log(service->category, LOG4C_PRIORITY_INFO, "%s: Not starting service %s", __func__,
                           service->name);
        return;
    }
    log4c_category_log(service->category, LOG4C_PRIORITY_INFO, "%s: Starting service %s", __func__, service->name);
    service->state = SERVICE_STATE_RUN;
    sem_post(&service->semaphore);
}

int serviceManagerServing(serviceDescriptor *service)
{
    int state = service->state;
    if (state == SERVICE_STATE_RUN)
        return 1;
    if (state != SERVICE_STATE_INIT || !service->threadEntry)
        return 0;
    char key[CONFIG_KEY_MAX + 1];
    return configValue(serviceManagerConfigKey(key, sizeof key, service, "enable")) == 1;
}

void serviceManagerEnable(serviceDescriptor *const *list, int count)
{
    for (int i = 0; i < count; i++)
        serviceEnable(list[i]);
}

void serviceManagerPause(serviceDescriptor *const *list, int count)
{
    for (int i = 0; i < count; i++)
        list[i]->state = SERVICE_STATE_PAUSE;
}

void terminateService(serviceDescriptor *service)
{
    int previous = service->state.exchange(SERVICE_STATE_TERMINATE);
    if (service->control)
        service->control(service, SERVICE_STATE_TERMINATE, previous);

    /* A service that was never started has no semaphore and no thread to wake. */
    if (service->threadEntry && service->semaphoreCreated) {
        sem_post(&service->semaphore);
        if (previous != SERVICE_STATE_INIT)
            usleep(TERMINATE_POLL_USEC);
        for (int poll = 0; poll < TERMINATE_POLLS && service->threadRunning; poll++)
            usleep(TERMINATE_POLL_USEC);
        if (service->threadRunning) {
            /* The thread may still wait on the semaphore: keep it rather than destroy it under the thread. */
            log4c_category_log(service->category, LOG4C_PRIORITY_ERROR,
                               "%s %s: thread did not leave, its semaphore is kept", __func__, service->name);
        } else {
            sem_destroy(&service->semaphore);
            service->semaphoreCreated = 0;
        }
    }
    log4c_category_log(service->category, LOG4C_PRIORITY_NOTICE, "%s %s: terminated", __func__, service->name);
}

void serviceManagerTerminate(serviceDescriptor *const *list, int count)
{
    for (int i = 0; i < count; i++)
        terminateService(list[i]);
    if (managerContext.runnerSemaphoreCreated) {
        sem_destroy(&managerContext.runnerSemaphore);
        managerContext.runnerSemaphoreCreated = 0;
    }
    if (managerContext.runnerFd >= 0) {
        close(managerContext.runnerFd);
        managerContext.runnerFd = -1;
    }
}

void serviceManagerIdle(serviceDescriptor *service)
{
    while (service->state == SERVICE_STATE_RUN || service->state == SERVICE_STATE_PAUSE) {
        if (sem_wait(&service->semaphore) != 0 && errno != EINTR)
            return;
    }
}
