#ifndef VAVUZODU_LOG_H
#define VAVUZODU_LOG_H

#include <cstdarg>
#include <cstdio>

namespace Tessera {

// The library's message channel: "[debug]" and "[warning]" lines on standard
// output, "[error]" lines on standard error, each flushed at once.
class Log {
public:
    static void debug(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void error(const char *format, ...) __attribute__((format(printf, 1, 2)));
    // The prefix directly followed by the formatted message and a newline.
    static void output(FILE *stream, const char *prefix, const char *format, va_list args);
};

} // namespace Tessera

#endif
