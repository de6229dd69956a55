#include "NoSessionReport.h"

#include <mutex>

#include "MessageUtil.h"

void NoSessionReport::report()
{
    static std::once_flag reported;
    std::call_once(reported, [] {
        MessageUtil::message("The native library has not been initialized.");
        MessageUtil::message("Profiling commands will be ignored.");
        MessageUtil::message("Did you forget the -agentpath parameter?");
    });
}
