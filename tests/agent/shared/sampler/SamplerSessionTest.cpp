// The telemetry form: samples, descriptions, custom series and bookmarks as
// the front end and snapshot files read them, byte for byte.
#include <gtest/gtest.h>

#include "ByteArrayDataReader.h"
#include "ProfilingSession.h"
#include "ProfilingTestSupport.h"
#include "SamplerSession.h"

namespace {

std::vector<int32_t> series(int first)
{
    std::vector<int32_t> v;
    for (int s = 0; s < SamplerSession::STANDARD_SERIES; s++)
        v.push_back(first + s);
    return v;
}

std::vector<unsigned char> written(SamplerSession &sampler, bool withDescriptions)
{
    CharVectorDataWriter writer;
    sampler.write(&writer, withDescriptions);
    return bytesOf(writer);
}

class SamplerSessionTest : public ::testing::Test {
protected:
    ProfilingSession session;
    SamplerSession sampler{&session};
};

TEST_F(SamplerSessionTest, OneSampleWithCustomSeriesAndBookmark)
{
    int types[] = {7};
    const char *names[] = {"queue"};
    long long values[] = {0x0102030405060708LL};
    sampler.addTelemetryDescriptions(types, names, values, 1);
    int32_t custom[] = {-2};
    // 123,456,789 us are kept as 12,345 units and written as 123,450,000.
    sampler.addSample(123456789LL, series(1).data(), custom, 1);
    sampler.addBookmark(5000001LL, "go");

    Wire expected;
    expected.u4(1).u4(7).str("queue").jlong(0x0102030405060708LL);
    expected.u4(1).u4(1);
    expected.jlong(123450000LL);
    for (int s = 1; s <= 12; s++)
        expected.u4(static_cast<uint32_t>(s));
    expected.u4(0xFFFFFFFEu);
    expected.u4(1).jlong(5000001LL).str("go");
    EXPECT_EQ(written(sampler, true), expected.b);
}

TEST_F(SamplerSessionTest, DescriptionsGoOutOnceAfterEachChange)
{
    int types[] = {1, 2};
    const char *names[] = {"a", nullptr};
    long long values[] = {3, 4};
    sampler.addTelemetryDescriptions(types, names, values, 2);

    CharVectorDataWriter first;
    sampler.handleCmdTelemetryData(&first);
    Wire withDescriptions;
    withDescriptions.u4(2).u4(1).str("a").jlong(3).u4(2).str("[unknown]").jlong(4).u4(0).u4(2).u4(0);
    EXPECT_EQ(bytesOf(first), withDescriptions.b);

    CharVectorDataWriter second;
    sampler.handleCmdTelemetryData(&second);
    EXPECT_EQ(bytesOf(second), Wire().u4(0).u4(0).u4(2).u4(0).b);

    // New descriptions are sent again, once.
    sampler.addTelemetryDescriptions(types, names, values, 1);
    CharVectorDataWriter third;
    sampler.handleCmdTelemetryData(&third);
    EXPECT_EQ(bytesOf(third), Wire().u4(1).u4(1).str("a").jlong(3).u4(0).u4(1).u4(0).b);
}

TEST_F(SamplerSessionTest, TelemetryCommandEmptiesTimesSeriesAndBookmarks)
{
    int32_t custom[] = {9};
    sampler.addSample(10000, series(0).data(), custom, 1);
    sampler.addSample(20000, series(0).data(), custom, 1);
    sampler.addBookmark(1, "mark");
    CharVectorDataWriter reply;
    sampler.handleCmdTelemetryData(&reply);
    EXPECT_EQ(sampler.getSampleCount(), 0u);
    EXPECT_TRUE(sampler.getBookmarks().empty());
    ASSERT_EQ(sampler.getCustomSeries().size(), 1u);
    EXPECT_TRUE(sampler.getCustomSeries()[0].empty());
    // Nothing is left for the next reply but the custom series count.
    CharVectorDataWriter next;
    sampler.handleCmdTelemetryData(&next);
    EXPECT_EQ(bytesOf(next), Wire().u4(0).u4(0).u4(1).u4(0).b);
}

TEST_F(SamplerSessionTest, ClearKeepsBookmarksAndSendsDescriptionsAgain)
{
    int types[] = {1};
    const char *names[] = {"x"};
    long long values[] = {0};
    sampler.addTelemetryDescriptions(types, names, values, 1);
    // A snapshot's copy is not a reply: the front end still needs them.
    written(sampler, true);
    EXPECT_FALSE(sampler.getDescriptionsSent());
    CharVectorDataWriter reply;
    sampler.handleCmdTelemetryData(&reply);
    EXPECT_TRUE(sampler.getDescriptionsSent());
    sampler.addSample(10000, series(0).data(), nullptr, 0);
    sampler.addBookmark(1, "kept");
    sampler.clearTelemetryData();
    EXPECT_EQ(sampler.getSampleCount(), 0u);
    EXPECT_FALSE(sampler.getDescriptionsSent());
    EXPECT_EQ(sampler.getBookmarks().size(), 1u);
}

TEST_F(SamplerSessionTest, CustomSeriesThatAppearLateStartWithZeros)
{
    sampler.addSample(10000, series(0).data(), nullptr, 0);
    int32_t custom[] = {5, 6};
    sampler.addSample(20000, series(0).data(), custom, 2);
    ASSERT_EQ(sampler.getCustomSeries().size(), 2u);
    EXPECT_EQ(sampler.getCustomSeries()[0], (std::vector<int32_t>{0, 5}));
    EXPECT_EQ(sampler.getCustomSeries()[1], (std::vector<int32_t>{0, 6}));
}

TEST(SamplerSessionKb, MemoryInKbRoundsTowardZero)
{
    struct Case {
        long long bytes;
        int32_t kb;
    } cases[] = {{0, 0}, {1023, 0}, {1024, 1}, {2047, 1}, {-1023, 0}, {-1025, -1}, {1024LL * 3000000, 3000000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(SamplerSession::toKb(c.bytes), c.kb);
    }
}

// The forms of older snapshots, read into the twelve series.
TEST(SamplerSessionRead, OlderVersions)
{
    struct Case {
        const char *name;
        int version;
        Wire bytes;
        size_t samples;
        long long time;
        int32_t firstValue;
        int32_t created;
        size_t bookmarks;
        size_t custom;
    };
    Wire v8;
    v8.u2(1).jlong(30000);
    for (int s = 0; s < 10; s++)
        v8.u4(static_cast<uint32_t>(40 + s));
    Wire v13;
    v13.u4(1).jlong(30000);
    for (int s = 0; s < 10; s++)
        v13.u4(static_cast<uint32_t>(40 + s));
    v13.u4(1).jlong(77).str("b");
    Wire v14;
    v14.u4(1).u4(3).str("c").jlong(8).u4(1).u4(1).jlong(30000);
    for (int s = 0; s < 12; s++)
        v14.u4(static_cast<uint32_t>(40 + s));
    v14.u4(99).u4(0);
    Case cases[] = {
        {"version 8: U2 count, ten series, no bookmarks", 8, v8, 1, 30000, 40, 0, 0, 0},
        {"version 13: U4 count and bookmarks", 13, v13, 1, 30000, 40, 0, 1, 0},
        {"version 14: descriptions and custom series", 14, v14, 1, 30000, 40, 51, 0, 1},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        SamplerSession sampler(nullptr);
        ByteArrayDataReader reader(c.bytes.b.data(), static_cast<int>(c.bytes.b.size()));
        ASSERT_TRUE(sampler.read(&reader, c.version));
        EXPECT_EQ(reader.available(), 0);
        ASSERT_EQ(sampler.getSampleCount(), c.samples);
        EXPECT_EQ(sampler.getSampleTimeUsec(0), c.time);
        EXPECT_EQ(sampler.getValue(SamplerSession::UNFILTERED_CLASSES, 0), c.firstValue);
        EXPECT_EQ(sampler.getValue(SamplerSession::CREATED_OBJECTS, 0), c.created);
        EXPECT_EQ(sampler.getBookmarks().size(), c.bookmarks);
        EXPECT_EQ(sampler.getCustomSeries().size(), c.custom);
    }
}

TEST(SamplerSessionRead, CurrentFormatRoundTripsAndBrokenStreamFails)
{
    ProfilingSession session;
    SamplerSession original(&session);
    int types[] = {4};
    const char *names[] = {"pool"};
    long long values[] = {-1};
    original.addTelemetryDescriptions(types, names, values, 1);
    int32_t custom[] = {17};
    original.addSample(990000, series(100).data(), custom, 1);
    original.addBookmark(12, "here");
    std::vector<unsigned char> bytes = written(original, true);

    SamplerSession copy(nullptr);
    ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
    ASSERT_TRUE(copy.read(&reader, 40));
    EXPECT_EQ(written(copy, true), bytes);

    SamplerSession broken(nullptr);
    ByteArrayDataReader cut(bytes.data(), static_cast<int>(bytes.size()) - 3);
    EXPECT_FALSE(broken.read(&cut, 40));
}

} // namespace
