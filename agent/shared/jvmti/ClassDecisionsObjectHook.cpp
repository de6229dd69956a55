#include "ClassDecisionsObjectHook.h"

#include "MessageUtil.h"

bool ClassDecisionsObjectHook::install(const std::function<int()> &retransform)
{
    if (installed.load())
        return true;
    bool idle = false;
    if (!installing.compare_exchange_strong(idle, true))
        return installed.load();
    int error = retransform();
    if (error == 0)
        installed.store(true);
    else
        MessageUtil::message("Allocations of plain objects cannot be recorded: java.lang.Object was not retransformed (%d).",
                             error);
    installing.store(false);
    return error == 0;
}
