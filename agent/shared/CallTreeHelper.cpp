#include "CallTreeHelper.h"

uint16_t CallTreeHelper::translateLineNo(const LineEntry *entries, int count, long long location)
{
    const LineEntry *best = nullptr;
    for (int i = 0; i < count; i++) {
        if (entries[i].start <= location && (best == nullptr || entries[i].start > best->start))
            best = &entries[i];
    }
    return best != nullptr ? static_cast<uint16_t>(best->line) : 0;
}
