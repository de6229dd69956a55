#ifndef AGENT_METHODSTATS_H
#define AGENT_METHODSTATS_H

#include <cstdint>

class DataReader;
class DataWriter;

// The invocation-time statistics of one method: a histogram of 23 buckets,
// each counting five quantities of an invocation (runnable, waiting,
// blocked and net I/O microseconds, and their sum), and running totals of
// the five. A bucket's key is the lower bound of its time range (a multiple
// of the bucket width; 1 marks an empty bucket). When a value finds no
// bucket, the width doubles and the buckets are merged. Not locked: the
// caller serialises updates and writes.
class MethodStats {
public:
    static constexpr int BUCKETS = 23;
    static constexpr int QUANTITIES = 5;
    static constexpr uint32_t EMPTY_KEY = 1;
    static constexpr uint32_t NO_MINIMUM = 123456789;
    static constexpr uint32_t INITIAL_WIDTH = 50;

    struct Entry {
        uint32_t key;
        uint32_t counts[QUANTITIES];
    };
    struct Total {
        uint64_t sum;
        uint32_t minimum;
        uint32_t maximum;
    };
    // The four time columns (microseconds) of one open invocation, added up
    // by its thread while it runs: runnable, waiting, blocked, net I/O.
    struct StackEntry {
        uint32_t times[4];
    };

    // Width 50, every bucket empty, totals reset.
    MethodStats();

    // Counts one finished invocation.
    void recordMethodExit(const StackEntry &invocation);

    // U4 width; 23 rows of six U4 (key, five counts); five totals, each
    // JLong sum, U4 minimum (0 when none), U4 maximum.
    void write(DataWriter *writer) const;
    // The form of a method without statistics: U4 0.
    static void writeNone(DataWriter *writer);
    // Reads what write wrote (snapshot versions above 22 only; older ones
    // carry none). Null for U4 0, an older version or a broken stream; the
    // caller owns the result.
    static MethodStats *read(DataReader *reader, int version);

    uint32_t getWidth() const { return width; }
    const Entry &getEntry(int i) const { return entries[i]; }
    const Total &getTotal(int quantity) const { return totals[quantity]; }

    // The bucket of `value` at `width` in `table` (found, or an empty one
    // claimed for its key); -1 when every probed bucket holds another key.
    static int findBucket(Entry *table, uint32_t width, uint32_t value);
    static uint32_t hash(uint32_t key);
    static void addTotal(Total *total, uint32_t value);
    // Doubles the width and merges the buckets, counts kept column by column.
    void enlargeBuckets();

private:
    uint32_t width;
    Entry entries[BUCKETS];
    Total totals[QUANTITIES];
};

#endif
