#ifndef TESSERA_LOG_H
#define TESSERA_LOG_H

#include <cstdarg>
#include <cstdio>

namespace Tessera {

// The library's message channel: "[debug]" and "[warning]" lines on standard
// output, "[error]" and "Orvane> " lines on standard error, each flushed at
// once. Nothing else in the library prints.
class Log {
public:
    static void debug(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void error(const char *format, ...) __attribute__((format(printf, 1, 2)));
    // A console line under the agent's own "Orvane> " prefix, for the failures
    // of code insertion that the agent's user sees beside the agent's messages.
    static void message(const char *format, ...) __attribute__((format(printf, 1, 2)));
    // The prefix directly followed by the formatted message and a newline.
    static void output(FILE *stream, const char *prefix, const char *format, va_list args);
};

} // namespace Tessera

#endif
