#include "hal/hal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <log4c.h>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static log4c_category_t *halCategory(void)
{
    static log4c_category_t *category = log4c_category_get("ulm.firmware.hal");
    return category;
}

std::string halCardRoot(void)
{
    const char *root = getenv("KVR_ROOT");
    return root ? std::string(root) : std::string();
}

int halUnderCardRoot(void)
{
    return halCardRoot().empty() ? 0 : 1;
}

std::string halPath(const char *cardPath)
{
    if (!cardPath)
        return std::string();
    if (cardPath[0] != '/')
        return std::string(cardPath);
    return halCardRoot() + cardPath;
}

void halRecord(const char *fmt, ...)
{
    if (!halUnderCardRoot())
        return;
    std::string dir = halPath("/var/log");
    mkdir(halPath("/var").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    FILE *log = fopen((dir + "/hal.log").c_str(), "a");
    if (!log)
        return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    /* One write per line so that concurrent writers never interleave inside a line. */
    std::string text = std::string(line) + "\n";
    fwrite(text.data(), 1, text.size(), log);
    fclose(log);
}

static int isExecutable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111);
}

/*
 * The command line as it runs under a card root: absolute words moved below
 * the root, and a bare program name replaced by its stand-in in bin/ or usr/bin/.
 * Empty when the program has no stand-in.
 */
static std::string standInCommand(const char *command)
{
    std::istringstream in(command);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    if (words.empty())
        return std::string();

    std::string root = halCardRoot();
    std::string program;
    if (words[0][0] == '/') {
        program = root + words[0];
    } else {
        for (const char *dir : {"/bin/", "/usr/bin/", "/sbin/"}) {
            if (isExecutable(root + dir + words[0])) {
                program = root + dir + words[0];
                break;
            }
        }
    }
    if (program.empty() || !isExecutable(program))
        return std::string();

    std::string line = program;
    for (size_t i = 1; i < words.size(); i++)
        line += " " + (words[i][0] == '/' ? root + words[i] : words[i]);
    return line;
}

int halRunCommand(const char *command)
{
    if (!command)
        return -1;
    if (!halUnderCardRoot())
        return system(command);

    halRecord("command %s", command);
    std::string line = standInCommand(command);
    if (line.empty()) {
        log4c_category_log(halCategory(), LOG4C_PRIORITY_DEBUG,
                           "%s: no stand-in for \"%s\", recorded only", __func__, command);
        return 0; /* what system() returns for a program that exited 0 */
    }
    return system(line.c_str());
}

int halReboot(void)
{
    if (!halUnderCardRoot()) {
        sync();
        return reboot(RB_AUTOBOOT);
    }
    halRecord("reboot");
    std::string standIn = halPath("/sbin/reboot");
    if (isExecutable(standIn))
        return system(standIn.c_str()) == -1 ? -1 : 0;
    return 0;
}

int halSetSystemTime(const struct timeval *tv)
{
    if (!tv) {
        errno = EINVAL;
        return -1;
    }
    if (!halUnderCardRoot())
        return settimeofday(tv, nullptr);
    halRecord("settime %lld.%06ld", (long long)tv->tv_sec, (long)tv->tv_usec);
    return 0;
}

int halSetRealtime(int priority)
{
    if (halUnderCardRoot()) {
        halRecord("realtime %d", priority);
        return -1;
    }
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = priority;
    int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (rc != 0) {
        log4c_category_log(halCategory(), LOG4C_PRIORITY_WARN,
                           "%s: SCHED_FIFO %d not permitted (%s), staying at normal priority",
                           __func__, priority, strerror(rc));
        return -1;
    }
    return 0;
}
