#include "SamplerSession.h"

#include "DataReader.h"
#include "DataWriter.h"
#include "InternalMonitor.h"
#include "ProfilingSession.h"

namespace {

const char UNKNOWN_NAME[] = "[unknown]";
// The form of older snapshots: from 9 a U4 sample count and bookmarks, from
// 14 descriptions and custom series.
const int VERSION_U4_COUNT = 9;
const int VERSION_CUSTOM = 14;
// Series a sample of a snapshot before version 14 carries.
const int OLD_SERIES = 10;

} // namespace

SamplerSession::SamplerSession(ProfilingSession *owner) : session(owner), descriptionsSent(false)
{
}

SamplerSession::~SamplerSession() = default;

void SamplerSession::lock()
{
    if (session != nullptr)
        session->enterMonitor(IM_THREAD);
}

void SamplerSession::unlock()
{
    if (session != nullptr)
        session->exitMonitor(IM_THREAD, false);
}

int32_t SamplerSession::toKb(long long bytes)
{
    // Integer division truncates toward zero, also for negative values.
    return static_cast<int32_t>(bytes / 1024);
}

void SamplerSession::addSample(long long nowUsec, const int32_t values[STANDARD_SERIES], const int32_t *customValues, int count)
{
    if (count < 0)
        count = 0;
    lock();
    sampleTimes.push_back(static_cast<uint32_t>(nowUsec / TIME_UNIT_USEC));
    for (int s = 0; s < STANDARD_SERIES; s++)
        standard[s].push_back(values[s]);
    // A series that appears now starts with zeros so that every series has
    // one value per sample.
    size_t before = sampleTimes.size() - 1;
    if (custom.size() != static_cast<size_t>(count))
        custom.resize(static_cast<size_t>(count), std::vector<int32_t>(before, 0));
    for (int c = 0; c < count; c++) {
        custom[c].resize(before, 0);
        custom[c].push_back(customValues != nullptr ? customValues[c] : 0);
    }
    unlock();
}

void SamplerSession::addTelemetryDescriptions(const int *types, const char *const *names, const long long *values, int count)
{
    if (types == nullptr || names == nullptr || values == nullptr || count < 0)
        return;
    lock();
    descriptions.clear();
    for (int i = 0; i < count; i++)
        descriptions.push_back(Description{types[i], names[i] != nullptr ? names[i] : UNKNOWN_NAME, values[i]});
    custom.resize(static_cast<size_t>(count), std::vector<int32_t>(sampleTimes.size(), 0));
    descriptionsSent = false;
    unlock();
}

void SamplerSession::addBookmark(long long nowUsec, const char *text)
{
    lock();
    bookmarks.push_back(Bookmark{nowUsec, text != nullptr ? text : ""});
    unlock();
}

void SamplerSession::clearSeries()
{
    sampleTimes.clear();
    for (std::vector<int32_t> &s : standard)
        s.clear();
    for (std::vector<int32_t> &c : custom)
        c.clear();
}

void SamplerSession::clearTelemetryData()
{
    lock();
    clearSeries();
    descriptionsSent = false;
    unlock();
}

void SamplerSession::handleCmdTelemetryData(DataWriter *writer)
{
    lock();
    bool withDescriptions = !descriptionsSent;
    writeLocked(writer, withDescriptions);
    descriptionsSent = descriptionsSent || withDescriptions;
    clearSeries();
    bookmarks.clear();
    unlock();
}

void SamplerSession::write(DataWriter *writer, bool withDescriptions)
{
    lock();
    writeLocked(writer, withDescriptions);
    unlock();
}

void SamplerSession::writeLocked(DataWriter *writer, bool withDescriptions)
{
    if (withDescriptions) {
        writer->writeU4(static_cast<uint32_t>(descriptions.size()));
        for (const Description &d : descriptions) {
            writer->writeU4(static_cast<uint32_t>(d.type));
            writer->writeString(d.name.c_str(), static_cast<int>(d.name.size()));
            writer->writeJLong(d.value);
        }
    } else {
        writer->writeU4(0);
    }
    writer->writeU4(static_cast<uint32_t>(sampleTimes.size()));
    writer->writeU4(static_cast<uint32_t>(custom.size()));
    for (size_t i = 0; i < sampleTimes.size(); i++) {
        writer->writeJLong(static_cast<long long>(sampleTimes[i]) * TIME_UNIT_USEC);
        for (const std::vector<int32_t> &s : standard)
            writer->writeU4(static_cast<uint32_t>(s[i]));
        for (const std::vector<int32_t> &c : custom)
            writer->writeU4(static_cast<uint32_t>(i < c.size() ? c[i] : 0));
    }
    writeBookmarkList(writer);
}

void SamplerSession::writeBookmarkList(DataWriter *writer)
{
    writer->writeU4(static_cast<uint32_t>(bookmarks.size()));
    for (const Bookmark &b : bookmarks) {
        writer->writeJLong(b.timeUsec);
        writer->writeString(b.text.c_str(), static_cast<int>(b.text.size()));
    }
}

void SamplerSession::writeBookmarks(DataWriter *writer, bool clear)
{
    lock();
    writeBookmarkList(writer);
    if (clear)
        bookmarks.clear();
    unlock();
}

namespace {

// A string of the stream, owned here; empty when the stream broke.
std::string readText(DataReader *reader)
{
    char *text = reader->readString(nullptr);
    std::string result = text != nullptr ? text : "";
    delete[] text;
    return result;
}

} // namespace

bool SamplerSession::read(DataReader *reader, int version)
{
    size_t customCount = 0;
    if (version >= VERSION_CUSTOM) {
        uint32_t n = reader->readU4(0);
        for (uint32_t i = 0; i < n && !reader->getError(); i++) {
            Description d;
            d.type = static_cast<int32_t>(reader->readU4(0));
            d.name = readText(reader);
            d.value = reader->readJLong(0);
            if (!reader->getError())
                descriptions.push_back(d);
        }
        descriptionsSent = false;
    }
    uint32_t samples = version >= VERSION_U4_COUNT ? reader->readU4(0) : static_cast<uint32_t>(reader->readU2(0));
    if (version >= VERSION_CUSTOM)
        customCount = reader->readU4(0);
    if (reader->getError())
        return false;
    custom.resize(customCount);
    int carried = version >= VERSION_CUSTOM ? STANDARD_SERIES : OLD_SERIES;
    for (uint32_t i = 0; i < samples; i++) {
        long long time = reader->readJLong(0);
        int32_t values[STANDARD_SERIES] = {};
        for (int s = 0; s < carried; s++)
            values[s] = static_cast<int32_t>(reader->readU4(0));
        std::vector<int32_t> customValues(customCount);
        for (size_t c = 0; c < customCount; c++)
            customValues[c] = static_cast<int32_t>(reader->readU4(0));
        if (reader->getError())
            return false;
        sampleTimes.push_back(static_cast<uint32_t>(time / TIME_UNIT_USEC));
        for (int s = 0; s < STANDARD_SERIES; s++)
            standard[s].push_back(values[s]);
        for (size_t c = 0; c < customCount; c++)
            custom[c].push_back(customValues[c]);
    }
    if (version < VERSION_U4_COUNT)
        return true;
    uint32_t b = reader->readU4(0);
    for (uint32_t i = 0; i < b && !reader->getError(); i++) {
        long long time = reader->readJLong(0);
        std::string text = readText(reader);
        if (!reader->getError())
            bookmarks.push_back(Bookmark{time, text});
    }
    return !reader->getError();
}
