#include "ThreadStartRecords.h"

bool ThreadStartRecords::take(const std::function<bool(void *)> &isThread, Record *out)
{
    for (auto it = records.begin(); it != records.end(); ++it) {
        if (isThread(it->threadObject)) {
            *out = *it;
            records.erase(it);
            return true;
        }
    }
    return false;
}
