#ifndef KVR_TESTS_FIRMWARETESTSUPPORT_H
#define KVR_TESTS_FIRMWARETESTSUPPORT_H

/*
 * What the firmware tests share: a log4c configuration that writes every
 * "ulm" category to a file the test reads, and a private IPC and network
 * namespace for tests that use the fixed SysV keys.
 */

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <log4c.h>
#include <sched.h>
#include <sstream>
#include <string>
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
    }
    TempDir dir_;
    std::string file_;
};

/*
 * Moves this process (and the processes and threads it starts afterwards) into
 * private IPC and network namespaces, so the fixed SysV keys and ports never
 * meet those of another test or of the host. False when not root.
 */
inline bool enterPrivateNamespaces()
{
    if (geteuid() != 0)
        return false;
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET) != 0)
        return false;
    int ignored = system("ip link set lo up >/dev/null 2>&1");
    (void)ignored;
    return true;
}

#define SKIP_WITHOUT_PRIVATE_NAMESPACES()                                                               \
    do {                                                                                              \
        if (!firmwareTest::enterPrivateNamespaces())                                                   \
            GTEST_SKIP() << "needs root to run in private IPC and network namespaces (fixed SysV keys)"; \
    } while (0)

} // namespace firmwareTest

#endif
