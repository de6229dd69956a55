/*
 * kvr-firmware: parses the command line, starts logging, connects the QVS
 * link, brings the services up around the platform start-up, idles while they
 * work and takes them down again on SIGINT.
 */

#include "hal/hal.h"
#include "main/logLimit.h"
#include "main/startup.h"
#include "pcodeProcessor/pcodeProcessor.h"
#include "platform/platform.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"
#include "spiEmulator/spiEmulator.h"
#include "utils/utils.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <log4c.h>
#include <pthread.h>
#include <semaphore.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#define MAIN_OPTION_STRING "csv:r:d:l:SKhe"
#define MAIN_USAGE "usage: cmd [-s][-c][-v level][-r filename][-d delay(ms)][-S][-K] [-e]"
#define MAIN_SERVER_TARGET "SERVER"

enum { BANNER_WIDTH = 116, BANNER_LEAD = 31, SIGTERM_GRACE_USEC = 200000 };

/* What the command line and the signal handlers set. */
static struct {
    log4c_category_t *category;
    volatile sig_atomic_t running;       /* 1 while the main loop runs */
    volatile sig_atomic_t stopRequested; /* SIGINT or SIGTERM arrived */
    int verboseLevel;
    const char *qvsTarget;
    int probingDelay;
    int optionS;
    int optionK;
    int emulatorInProcess;
    const char *logConfigDir;
} mainOptions;

/*
 * The signal handlers only write stderr, set flags and post this semaphore;
 * the signal thread does the logging and the SIGTERM exit.
 */
static struct {
    sem_t wake;
    volatile sig_atomic_t sigint;
    volatile sig_atomic_t sigterm;
    volatile sig_atomic_t sigpipe;
    volatile sig_atomic_t sigpipeThread;
} mainSignals;

static void writeStderr(const char *text)
{
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

static void sigintHandler(int sig)
{
    (void)sig;
    int savedErrno = errno;
    writeStderr("Caught SIGINT: going down\n");
    mainOptions.running = 0;
    mainOptions.stopRequested = 1;
    mainSignals.sigint = 1;
    sem_post(&mainSignals.wake);
    errno = savedErrno;
}

static void sigtermHandler(int sig)
{
    (void)sig;
    int savedErrno = errno;
    writeStderr("Caught SIGTERM: going down\n");
    mainOptions.running = 0;
    mainOptions.stopRequested = 1;
    mainSignals.sigterm = 1;
    sem_post(&mainSignals.wake);
    errno = savedErrno;
}

static void sigpipeHandler(int sig)
{
    (void)sig;
    int savedErrno = errno;
    mainSignals.sigpipeThread = (sig_atomic_t)syscall(SYS_gettid);
    mainSignals.sigpipe = 1;
    sem_post(&mainSignals.wake);
    errno = savedErrno;
}

/* The process is going down: log what we can, then die of the signal as we would have. */
static void sigsegvHandler(int sig)
{
    if (mainOptions.category)
        log4c_category_log(mainOptions.category, LOG4C_PRIORITY_CRIT,
                           "%s: Caught SIGSEGV: going down:: Process id %u Segmentation fault! signal %d", __func__,
                           (unsigned)syscall(SYS_gettid), sig);
    signal(sig, SIG_DFL);
    kill(getpid(), sig);
}

static void sigabrtHandler(int sig)
{
    (void)sig;
    if (mainOptions.category)
        log4c_category_log(mainOptions.category, LOG4C_PRIORITY_CRIT, "%s: Caught SIGABRT: going down:: Process id %u!",
                           __func__, (unsigned)syscall(SYS_gettid));
}

static void *mainSignalThread(void *argument)
{
    (void)argument;
    for (;;) {
        while (sem_wait(&mainSignals.wake) != 0 && errno == EINTR)
            ;
        if (mainSignals.sigint) {
            mainSignals.sigint = 0;
            log4c_category_log(mainOptions.category, LOG4C_PRIORITY_DEBUG, "%s: Caught SIGINT: going down", __func__);
        }
        if (mainSignals.sigpipe) {
            mainSignals.sigpipe = 0;
            log4c_category_log(mainOptions.category, LOG4C_PRIORITY_CRIT,
                               "%s: Caught SIGPIPE: Process id %u trying to write to a socket that is closed! will "
                               "simply log message and ignore broken pipe!",
                               __func__, (unsigned)mainSignals.sigpipeThread);
        }
        if (mainSignals.sigterm) {
            log4c_category_log(mainOptions.category, LOG4C_PRIORITY_ERROR, "%s: Caught SIGTERM: quiting firmware",
                               __func__);
            platformStop();
            usleep(SIGTERM_GRACE_USEC);
            /*
             * The services still run and may log: flush the log files rather than
             * tear log4c down under them, and leave without exit handlers.
             */
            fflush(nullptr);
            writeStderr("Done SIGTERM: going down now.\n");
            _exit(0);
        }
    }
    return nullptr;
}

static void installHandler(int sig, void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
}

/*
 * Installs the handlers, whatever the process inherited: a start from a
 * background shell or an init script arrives with SIGINT ignored, and a
 * blocked SIGINT or SIGTERM would never reach its handler. Runs before any
 * thread starts, so every thread inherits the handlers and the mask. The
 * handlers only post the semaphore until the signal thread runs.
 */
static void mainInstallSignalHandlers(void)
{
    sem_init(&mainSignals.wake, 0, 0);
    installHandler(SIGINT, sigintHandler);
    installHandler(SIGSEGV, sigsegvHandler);
    installHandler(SIGABRT, sigabrtHandler);
    installHandler(SIGPIPE, sigpipeHandler);
    installHandler(SIGTERM, sigtermHandler);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

/* Starts the thread that logs and acts on what the handlers noted. -1 when it cannot start. */
static int mainStartSignalThread(void)
{
    return halStartDetachedThread(mainSignalThread, nullptr, nullptr) == 0 ? 0 : -1;
}

/*
 * Handles the options in command-line order. Returns 1 with *exitStatus set
 * when the process must end now (-h, -c, -s), else 0.
 */
static int mainParseOptions(int argc, char **argv, int *exitStatus)
{
    int option;
    while ((option = getopt(argc, argv, MAIN_OPTION_STRING)) != -1) {
        switch (option) {
        case 'h':
            puts(MAIN_USAGE);
            *exitStatus = 0;
            return 1;
        case 'c':
            spiEmulatorConnect();
            *exitStatus = 0;
            return 1;
        case 's':
            halSpiEmulatorServer();
            *exitStatus = 0;
            return 1;
        case 'e':
            mainOptions.emulatorInProcess = 1;
            break;
        case 'v':
            mainOptions.verboseLevel = (int)strtol(optarg, nullptr, 10);
            break;
        case 'r':
            mainOptions.qvsTarget = optarg;
            break;
        case 'd':
            mainOptions.probingDelay = (int)strtol(optarg, nullptr, 10);
            break;
        case 'l':
            mainOptions.logConfigDir = optarg;
            setenv("LOG4C_RCPATH", optarg, 1);
            break;
        case 'S':
            mainOptions.optionS = 1;
            break;
        case 'K':
            mainOptions.optionK = 1;
            break;
        default:
            break; /* unknown options are ignored */
        }
    }
    return 0;
}

static void mainLogBanner(void)
{
    std::string full(BANNER_WIDTH, 'X');
    std::string text = " STARTING FIRMWARE  ";
    std::string middle = std::string(BANNER_LEAD, 'X') + text + std::string(BANNER_WIDTH - BANNER_LEAD - text.size(), 'X');
    log4c_category_log(mainOptions.category, LOG4C_PRIORITY_DEBUG, "%s: firmware main", __func__);
    log4c_category_log(mainOptions.category, LOG4C_PRIORITY_NOTICE, "%s: %s", __func__, full.c_str());
    log4c_category_log(mainOptions.category, LOG4C_PRIORITY_NOTICE, "%s: %s", __func__, middle.c_str());
    log4c_category_log(mainOptions.category, LOG4C_PRIORITY_NOTICE, "%s: %s", __func__, full.c_str());
}

/* Local without -r, server for "SERVER", remote with the file named by -r. */
static void *mainConnectQvs(void)
{
    int mode = QVS_MODE_LOCAL;
    const char *name = nullptr;
    if (mainOptions.qvsTarget && strcmp(mainOptions.qvsTarget, MAIN_SERVER_TARGET) == 0) {
        mode = QVS_MODE_SERVER;
    } else if (mainOptions.qvsTarget) {
        mode = QVS_MODE_REMOTE;
        name = mainOptions.qvsTarget;
    }
    qvsInterfaceSetVlanQuery(platformAreWeUsingVlan);
    initQvsInterface(mode, name);
    return qvsInterfaceGetSharedMemory(&sharedMemPublishing, pcodeProcessor);
}

int main(int argc, char **argv)
{
    /* glib threads need no initialisation; firmwareMutex is statically initialised. */
    int exitStatus = 0;
    if (mainParseOptions(argc, argv, &exitStatus))
        return exitStatus;
    mainInstallSignalHandlers();
    if (halStart(mainOptions.emulatorInProcess ? HAL_EMULATED : HAL_CARD) != 0) {
        puts("Cant create fpga emulator thread");
        return 1;
    }

    log4c_init();
    mainLogLimitInstall();
    mainOptions.category = log4c_category_get("ulm.firmware.main");
    utils_recordStartTime(mainOptions.category);
    mainLogBanner();

    void *sharedMemory = mainConnectQvs();
    if (!sharedMemory) {
        log4c_category_log(mainOptions.category, LOG4C_PRIORITY_FATAL, "%s: cannot get shared memory. exiting", __func__);
        log4c_fini();
        return 1;
    }
    log4c_category_log(mainOptions.category, LOG4C_PRIORITY_DEBUG, "%s: got shm 0x%lx", __func__,
                       (unsigned long)(uintptr_t)sharedMemory);

    if (mainStartSignalThread() != 0) {
        log4c_category_log(mainOptions.category, LOG4C_PRIORITY_FATAL, "%s: cannot start the signal thread. exiting",
                           __func__);
        log4c_fini();
        return 1;
    }

    probingSetStartDelay(mainOptions.probingDelay);
    mainRegisterModules();
    serviceManagerInit(startUpServicesList, startUpServicesCount);
    platformInit(mainOptions.category, sharedMemory);
    serviceManagerStart(startUpServicesList, startUpServicesCount);
    if (platformStartUpSucceeded() != 1) {
        serviceManagerTerminate(startUpServicesList, startUpServicesCount);
        log4c_fini();
        return 0;
    }
    serviceManagerEnable(startUpServicesList, startUpServicesCount);
    if (!mainOptions.stopRequested)
        mainOptions.running = 1;

    int tick = 0;
    while (mainOptions.running) {
        platformMainLoopTick(tick);
        tick ^= 1;
        sleep(1);
    }

    log4c_category_log(mainOptions.category, LOG4C_PRIORITY_NOTICE, "%s: stopping the services", __func__);
    platformStop();
    serviceManagerPause(startUpServicesList, startUpServicesCount);
    sleep(1);
    serviceManagerTerminate(startUpServicesList, startUpServicesCount);
    halStop();
    log4c_category_log(mainOptions.category, LOG4C_PRIORITY_NOTICE, "%s: firmware stopped", __func__);
    /*
     * log4c is left to the process exit, which flushes its files: the QVS
     * receiver thread is still alive and may log until then.
     */
    return 0;
}
