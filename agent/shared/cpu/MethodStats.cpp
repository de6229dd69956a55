#include "MethodStats.h"

#include <cstring>

#include "DataReader.h"
#include "DataWriter.h"

namespace {

void clearEntries(MethodStats::Entry *table)
{
    for (int i = 0; i < MethodStats::BUCKETS; i++) {
        table[i].key = MethodStats::EMPTY_KEY;
        memset(table[i].counts, 0, sizeof table[i].counts);
    }
}

} // namespace

MethodStats::MethodStats() : width(INITIAL_WIDTH)
{
    clearEntries(entries);
    for (Total &t : totals)
        t = Total{0, NO_MINIMUM, 0};
}

uint32_t MethodStats::hash(uint32_t key)
{
    uint32_t h = key ^ (key >> 12) ^ (key >> 20);
    return h ^ (h >> 4) ^ (h >> 7);
}

int MethodStats::findBucket(Entry *table, uint32_t bucketWidth, uint32_t value)
{
    uint32_t key = bucketWidth * (value / bucketWidth);
    uint32_t h = hash(key);
    int start = static_cast<int>(h % BUCKETS);
    int step = static_cast<int>(h % 21 + 1);
    int i = start;
    do {
        if (table[i].key == key)
            return i;
        if (table[i].key == EMPTY_KEY) {
            table[i].key = key;
            return i;
        }
        i -= step;
        if (i < 0)
            i += BUCKETS;
    } while (i != start);
    return -1;
}

void MethodStats::addTotal(Total *total, uint32_t value)
{
    if (value < total->minimum || total->minimum == NO_MINIMUM)
        total->minimum = value;
    if (value > total->maximum)
        total->maximum = value;
    total->sum += value;
}

void MethodStats::enlargeBuckets()
{
    Entry tempStats[BUCKETS];
    clearEntries(tempStats);
    uint32_t newWidth = width * 2;
    for (const Entry &old : entries) {
        if (old.key == EMPTY_KEY)
            continue;
        int i = findBucket(tempStats, newWidth, old.key);
        // 23 keys always fit: the probe sequence visits every bucket.
        if (i < 0)
            continue;
        for (int q = 0; q < QUANTITIES; q++)
            tempStats[i].counts[q] += old.counts[q];
    }
    memcpy(entries, tempStats, sizeof entries);
    width = newWidth;
}

void MethodStats::recordMethodExit(const StackEntry &invocation)
{
    uint32_t values[QUANTITIES];
    values[4] = 0;
    for (int q = 0; q < 4; q++) {
        values[q] = invocation.times[q];
        values[4] += invocation.times[q];
    }
    int buckets[QUANTITIES];
    for (;;) {
        bool found = true;
        for (int q = 0; q < QUANTITIES && found; q++) {
            buckets[q] = findBucket(entries, width, values[q]);
            found = buckets[q] >= 0;
        }
        if (found)
            break;
        enlargeBuckets();
    }
    for (int q = 0; q < QUANTITIES; q++) {
        addTotal(&totals[q], values[q]);
        entries[buckets[q]].counts[q] += 1;
    }
}

void MethodStats::write(DataWriter *writer) const
{
    writer->writeU4(width);
    for (const Entry &e : entries) {
        writer->writeU4(e.key);
        for (uint32_t count : e.counts)
            writer->writeU4(count);
    }
    for (const Total &t : totals) {
        writer->writeJLong(static_cast<long long>(t.sum));
        writer->writeU4(t.minimum == NO_MINIMUM ? 0 : t.minimum);
        writer->writeU4(t.maximum);
    }
}

void MethodStats::writeNone(DataWriter *writer)
{
    writer->writeU4(0);
}

MethodStats *MethodStats::read(DataReader *reader, int version)
{
    if (version <= 22)
        return nullptr;
    uint32_t width = reader->readU4(0);
    if (width == 0 || reader->getError())
        return nullptr;
    MethodStats *stats = new MethodStats();
    stats->width = width;
    for (Entry &e : stats->entries) {
        e.key = reader->readU4(EMPTY_KEY);
        for (uint32_t &count : e.counts)
            count = reader->readU4(0);
    }
    for (Total &t : stats->totals) {
        t.sum = static_cast<uint64_t>(reader->readJLong(0));
        t.minimum = reader->readU4(0);
        t.maximum = reader->readU4(0);
    }
    if (reader->getError()) {
        delete stats;
        return nullptr;
    }
    return stats;
}
