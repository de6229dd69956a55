#ifndef KVR_FUZZ_FUZZSUPPORT_H
#define KVR_FUZZ_FUZZSUPPORT_H

/*
 * What the firmware fuzz targets share: a private card root under $TMPDIR
 * (KVR_ROOT points at it) and a log4c configuration that formats every "ulm"
 * line at DEBUG into /dev/null, so that the log calls run as in the daemon
 * without filling a disk. Set up once per process.
 */

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <log4c.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzzSupport {

inline const std::string &cardRoot()
{
    static const std::string root = [] {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvr-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0]))
            abort();
        for (const char *d : {"/root", "/root/usr", "/root/usr/local", "/root/usr/local/q7",
                              "/root/usr/local/q7/firmware", "/root/var", "/root/var/run", "/root/var/log",
                              "/root/etc", "/root/tmp", "/log4c"})
            mkdir((pattern + d).c_str(), 0700);
        std::ofstream(pattern + "/log4c/log4crc")
            << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!DOCTYPE log4c SYSTEM \"\">\n"
               "<log4c version=\"1.2.4\">\n"
               "  <config><bufsize>0</bufsize><debug level=\"0\"/><nocleanup>0</nocleanup></config>\n"
               "  <category name=\"ulm\" priority=\"debug\" appender=\"/dev/null\"/>\n"
               "  <appender name=\"/dev/null\" type=\"stream\" layout=\"basic_r\"/>\n"
               "  <layout name=\"basic_r\" type=\"basic_r\"/>\n</log4c>\n";
        setenv("LOG4C_RCPATH", (pattern + "/log4c").c_str(), 1);
        log4c_init();
        setenv("KVR_ROOT", (pattern + "/root").c_str(), 1);
        return pattern + "/root";
    }();
    return root;
}

/* The path of `cardPath` under the card root. */
inline std::string pathOf(const char *cardPath)
{
    return cardRoot() + cardPath;
}

/* Writes the input as the whole file `path`. */
inline void writeInput(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        abort();
    if (size && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
}

} // namespace fuzzSupport

#endif
