#ifndef KVR_TESTS_FIRMWARETESTSUPPORT_H
#define KVR_TESTS_FIRMWARETESTSUPPORT_H

/*
 * What the firmware tests share: a log4c configuration that writes every
 * "ulm" category to a file the test reads, a private IPC and network
 * namespace for tests that use the fixed SysV keys and ports, and the check
 * that the firmware's services start only under a card root.
 */

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <log4c.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../support/TempDir.h"

namespace firmwareTest {

/* Writes a log4crc into `dir` that sends every "ulm" category at DEBUG to `logFile`. */
inline void writeLog4crc(const std::string &dir, const std::string &logFile)
{
    std::ofstream(dir + "/log4crc")
        << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
           "<!DOCTYPE log4c SYSTEM \"\">\n"
           "<log4c version=\"1.2.4\">\n"
           "  <config><bufsize>0</bufsize><debug level=\"0\"/><nocleanup>0</nocleanup></config>\n"
           "  <category name=\"ulm\" priority=\"debug\" appender=\""
        << logFile
        << "\"/>\n"
           "  <appender name=\""
        << logFile
        << "\" type=\"stream\" layout=\"basic_r\"/>\n"
           "  <layout name=\"basic_r\" type=\"basic_r\"/>\n"
           "</log4c>\n";
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/* The process's log, started once: every firmware category goes to one file. */
class TestLog {
public:
    static TestLog &instance()
    {
        static TestLog log;
        return log;
    }
    /* Everything logged so far. */
    std::string text()
    {
        fflush(nullptr);
        return readFile(file_);
    }
    bool contains(const std::string &needle) { return text().find(needle) != std::string::npos; }
    size_t count(const std::string &needle)
    {
        std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
            n++;
        return n;
    }
    /* Marks the current end, so that later checks can look only at what follows. */
    size_t mark() { return text().size(); }
    std::string since(size_t mark)
    {
        std::string all = text();
        return mark < all.size() ? all.substr(mark) : std::string();
    }

private:
    TestLog()
    {
        file_ = dir_ / "test.log";
        writeLog4crc(dir_.path(), file_);
        setenv("LOG4C_RCPATH", dir_.path().c_str(), 1);
        log4c_init();
        /* log4c opens an appender at its first line without a lock: two threads
         * logging their first lines at once each open (and truncate) the file,
         * and lines are lost. Open it here, before any thread logs. */
        log4c_appender_open(log4c_appender_get(file_.c_str()));
    }
    TempDir dir_;
    std::string file_;
};

/*
 * The bound for an action that must not wait (a terminate that wakes its
 * thread, a call that returns at once): far above what it takes with 16 tests
 * on 2 cores, far below the waits it must not make (seconds, or for ever).
 */
constexpr std::chrono::milliseconds PROMPT(2500);

/* The line a test skips with when private namespaces cannot be had because this is not root. */
constexpr const char *NOT_ROOT_SKIP =
    "not root: private IPC and network namespaces (unshare) need root (fixed SysV keys and ports)";

/* Why the last enterPrivateNamespaces() failed; empty after a success. */
inline std::string &namespaceError()
{
    static std::string error;
    return error;
}

/* Brings the loopback interface of the current network namespace up; an error text or "". */
inline std::string loopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("socket: ") + strerror(errno);
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string error;
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0)
        error = std::string("SIOCGIFFLAGS lo: ") + strerror(errno);
    else {
        request.ifr_flags |= IFF_UP;
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0)
            error = std::string("SIOCSIFFLAGS lo up: ") + strerror(errno);
    }
    close(fd);
    return error;
}

/*
 * Moves this process (and the processes and threads it starts afterwards) into
 * private IPC and network namespaces, so the fixed SysV keys and ports never
 * meet those of another test or of the host. False when not root or when the
 * namespaces could not be made (namespaceError() says why).
 */
inline bool enterPrivateNamespaces()
{
    namespaceError().clear();
    if (geteuid() != 0) {
        namespaceError() = NOT_ROOT_SKIP;
        return false;
    }
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET) != 0) {
        namespaceError() = std::string("unshare(CLONE_NEWIPC | CLONE_NEWNET) failed as root: ") + strerror(errno);
        return false;
    }
    namespaceError() = loopbackUp();
    return namespaceError().empty();
}

/*
 * Enters private namespaces; skips the test with an exact line when this is not
 * root, and fails it when root could not have them (a fault to see, not hide).
 */
#define SKIP_WITHOUT_PRIVATE_NAMESPACES()                                                               \
    do {                                                                                              \
        if (geteuid() != 0)                                                                           \
            GTEST_SKIP() << firmwareTest::NOT_ROOT_SKIP;                                              \
        ASSERT_TRUE(firmwareTest::enterPrivateNamespaces()) << firmwareTest::namespaceError();        \
    } while (0)

/*
 * Without a card root the hal acts on this machine (real-time priorities,
 * commands under /bin, the boot environment under /etc). An error text unless
 * KVR_ROOT names a directory other than "/"; "" when the firmware may start.
 */
inline std::string cardRootError()
{
    const char *root = getenv("KVR_ROOT");
    if (root == nullptr || *root == '\0')
        return "no card root: KVR_ROOT is not set, the hal would act on this machine";
    struct stat st;
    if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode))
        return std::string("card root ") + root + " is not a directory";
    char resolved[PATH_MAX];
    if (realpath(root, resolved) == nullptr || strcmp(resolved, "/") == 0)
        return std::string("card root ") + root + " is this machine's root";
    return "";
}

/* Refuses (fails the test) to start firmware services without a card root. */
#define ASSERT_UNDER_CARD_ROOT()                                                                      \
    do {                                                                                              \
        std::string cardRootProblem = firmwareTest::cardRootError();                                  \
        ASSERT_TRUE(cardRootProblem.empty()) << cardRootProblem;                                      \
    } while (0)

} // namespace firmwareTest

#endif
