#include "CallTreeHelper.h"

#include "AnnotationBytes.h"
#include "DataWriter.h"

uint16_t CallTreeHelper::translateLineNo(const LineEntry *entries, int count, long long location)
{
    const LineEntry *best = nullptr;
    for (int i = 0; i < count; i++) {
        if (entries[i].start <= location && (best == nullptr || entries[i].start > best->start))
            best = &entries[i];
    }
    return best != nullptr ? static_cast<uint16_t>(best->line) : 0;
}

bool CallTreeHelper::writeAnnotations(DataWriter *writer, const std::vector<long long> &ids, AnnotationBytes *javaSide)
{
    std::vector<unsigned char> bytes;
    if (javaSide == nullptr || !javaSide->getBytes(ids, &bytes) || bytes.empty())
        return false;
    writer->writeBuffered(bytes.data(), static_cast<int>(bytes.size()));
    return true;
}
