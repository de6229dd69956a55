// The front end's reading of the telemetry reply (command 22), from literal bytes.
#include <gtest/gtest.h>

#include "TelemetryView.h"

namespace {

struct Bytes {
    std::vector<uint8_t> b;
    Bytes &u2(uint32_t v) { return byte(v >> 8).byte(v); }
    Bytes &byte(uint32_t v)
    {
        b.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Bytes &u4(uint32_t v) { return u2(v >> 16).u2(v & 0xFFFF); }
    Bytes &jlong(int64_t v) { return u4(static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32)).u4(static_cast<uint32_t>(v)); }
    Bytes &str(const std::string &s)
    {
        u2(static_cast<uint32_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
};

TEST(TelemetryViewTest, ReadsDescriptionsSamplesCustomValuesAndBookmarks)
{
    Bytes in;
    in.u4(1).u4(2).str("queue").jlong(5);
    in.u4(1).u4(1).jlong(1230000);
    for (uint32_t s = 0; s < 12; s++)
        in.u4(s + 1);
    in.u4(0xFFFFFFFF);
    in.u4(1).jlong(7000).str("mark");
    TelemetryReply t;
    ASSERT_TRUE(TelemetryView::readTelemetryReply(in.b, &t));
    ASSERT_EQ(t.descriptions.size(), 1u);
    EXPECT_EQ(t.descriptions[0].name, "queue");
    ASSERT_EQ(t.samples.size(), 1u);
    EXPECT_EQ(t.samples[0].timeUsec, 1230000);
    EXPECT_EQ(t.samples[0].standard[6], 7);
    EXPECT_EQ(t.samples[0].custom, std::vector<int32_t>{-1});
    ASSERT_EQ(t.bookmarks.size(), 1u);
    EXPECT_EQ(t.bookmarks[0].second, "mark");
    EXPECT_NE(TelemetryView::format(t).find("1230 ms: classes 1, filtered classes 2"), std::string::npos) << TelemetryView::format(t);

    // Cut short or with bytes left over: refused.
    std::vector<uint8_t> cut(in.b.begin(), in.b.end() - 1);
    EXPECT_FALSE(TelemetryView::readTelemetryReply(cut, &t));
    std::vector<uint8_t> longer = in.b;
    longer.push_back(0);
    EXPECT_FALSE(TelemetryView::readTelemetryReply(longer, &t));
}

} // namespace
