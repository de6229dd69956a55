#ifndef AGENT_SAMPLERSESSION_H
#define AGENT_SAMPLERSESSION_H

#include <cstdint>
#include <string>
#include <vector>

class DataReader;
class DataWriter;
class ProfilingSession;

// The VM telemetry of a session: one sample per tick of the agent's Java
// side (time, twelve standard series, the custom series the Java side
// describes) and the user's bookmarks. The live session feeds it; snapshots
// write and read it as their telemetry section. Every operation takes the
// thread monitor of the owning session except read, which runs while a
// snapshot is loaded and nothing else sees the object.
class SamplerSession {
public:
    // The standard series, in the order they are stored and written.
    enum Series {
        UNFILTERED_CLASSES,
        FILTERED_CLASSES,
        LIVE_OBJECTS,
        LIVE_ARRAYS,
        MEMORY_1_KB,
        MEMORY_2_KB,
        RUNNABLE_THREADS,
        WAITING_THREADS,
        BLOCKED_THREADS,
        NET_IO_THREADS,
        FREED_OBJECTS,
        CREATED_OBJECTS,
        STANDARD_SERIES
    };
    // Sample times are kept in units of this many microseconds.
    static constexpr long long TIME_UNIT_USEC = 10000;

    struct Description {
        int32_t type;
        std::string name;
        long long value;
    };
    struct Bookmark {
        long long timeUsec;
        std::string text;
    };

    // `session` (may be null in a snapshot reader) gives the thread monitor.
    explicit SamplerSession(ProfilingSession *session);
    virtual ~SamplerSession();

    // Appends one sample at `nowUsec`: the twelve standard values and the
    // first `count` custom values (the custom series are resized to `count`
    // first, so a tick never leaves them with unequal lengths).
    void addSample(long long nowUsec, const int32_t standard[STANDARD_SERIES], const int32_t *custom, int count);
    // A memory value of the Java side in KB, rounded toward zero.
    static int32_t toKb(long long bytes);

    // Replaces the custom descriptions (names copied; a null name becomes
    // "[unknown]"), resizes the custom series to `count` and makes the next
    // write send them.
    void addTelemetryDescriptions(const int *types, const char *const *names, const long long *values, int count);
    void addBookmark(long long nowUsec, const char *text);

    // Empties the times and all series and makes the descriptions go out again.
    void clearTelemetryData();
    // The telemetry reply: the data not sent yet (descriptions only after a
    // change), then the times, the series and the bookmarks are emptied.
    void handleCmdTelemetryData(DataWriter *writer);

    // U4 n and n descriptions (U4 type, string, JLong value) or U4 0; U4
    // samples s; U4 custom series c; s times (JLong time x 10000, twelve U4,
    // c U4); U4 bookmarks b and b times (JLong microseconds, string). Also
    // the telemetry section of snapshots: writing one does not count as
    // sending the descriptions to the front end, which would then never get
    // them.
    void write(DataWriter *writer, bool withDescriptions);
    // Reads what write wrote, in the form of snapshot `version`: before 14
    // without descriptions and custom series (each sample carries the first
    // ten standard series; the freed and created counts read as 0), before 9
    // with a U2 sample count and no bookmarks. False on a broken stream
    // (what was read so far is kept).
    bool read(DataReader *reader, int version);
    void writeBookmarks(DataWriter *writer, bool clear);

    // Read access for tests and the front end's printers.
    size_t getSampleCount() const { return sampleTimes.size(); }
    // The time of sample i in microseconds.
    long long getSampleTimeUsec(size_t i) const { return static_cast<long long>(sampleTimes[i]) * TIME_UNIT_USEC; }
    int32_t getValue(Series series, size_t i) const { return standard[series][i]; }
    const std::vector<std::vector<int32_t>> &getCustomSeries() const { return custom; }
    const std::vector<Description> &getDescriptions() const { return descriptions; }
    const std::vector<Bookmark> &getBookmarks() const { return bookmarks; }
    bool getDescriptionsSent() const { return descriptionsSent; }

private:
    void lock();
    void unlock();
    void clearSeries();
    void writeLocked(DataWriter *writer, bool withDescriptions);
    void writeBookmarkList(DataWriter *writer);

    ProfilingSession *session;
    std::vector<uint32_t> sampleTimes;
    std::vector<int32_t> standard[STANDARD_SERIES];
    std::vector<std::vector<int32_t>> custom;
    std::vector<Description> descriptions;
    bool descriptionsSent;
    std::vector<Bookmark> bookmarks;
};

#endif
