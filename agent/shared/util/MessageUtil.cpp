#include "MessageUtil.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

#include "TempFiles.h"

namespace {

std::mutex debugLock;
FILE *debugFile = nullptr;

} // namespace

void MessageUtil::message(const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // One fprintf per line keeps lines of different threads apart.
    fprintf(stderr, "Orvane> %s\n", text);
    fflush(stderr);
}

void MessageUtil::debugOut(const char *format, ...)
{
    std::lock_guard<std::mutex> guard(debugLock);
    if (debugFile == nullptr) {
        std::string path = TempFiles::tempDirectory() + "/orvane.debug.out";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        debugFile = fdopen(fd, "w");
        if (debugFile == nullptr) {
            close(fd);
            return;
        }
        message("writing debug output to %s.", path.c_str());
    }
    va_list args;
    va_start(args, format);
    vfprintf(debugFile, format, args);
    va_end(args);
    fflush(debugFile);
}

void MessageUtil::closeDebugOut()
{
    std::lock_guard<std::mutex> guard(debugLock);
    if (debugFile != nullptr)
        fclose(debugFile);
    debugFile = nullptr;
}
