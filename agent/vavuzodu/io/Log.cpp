#include "io/Log.h"

namespace Tessera {

void Log::output(FILE *stream, const char *prefix, const char *format, va_list args)
{
    fputs(prefix, stream);
    vfprintf(stream, format, args);
    fputc('\n', stream);
    fflush(stream);
}

void Log::debug(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    output(stdout, "[debug]", format, args);
    va_end(args);
}

void Log::warning(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    output(stdout, "[warning]", format, args);
    va_end(args);
}

void Log::error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    output(stderr, "[error]", format, args);
    va_end(args);
}

void Log::message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    output(stderr, "Orvane> ", format, args);
    va_end(args);
}

} // namespace Tessera
