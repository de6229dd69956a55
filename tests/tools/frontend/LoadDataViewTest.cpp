// Command 33 as the front end reads it from a loaded snapshot: literal replies
// with stored IDs of either width, a failed read, and cut or lying replies.
#include <gtest/gtest.h>

#include "LoadDataView.h"
#include "Registry.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The descriptions that end every reply: method 0x10 of class 0x20 "p.A",
// JLong time 0x1234, U4 0, thread 0x50 "main" of group "main", no bookmarks,
// no new descriptions after the threads.
const Bytes DESCRIPTIONS = {
    1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 3, 'r', 'u', 'n', 0, 3, '(', ')', 'V', 0, // methods
    1, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 3, 'p', '.', 'A', 0, 0, 0, 0, 0,                                     // class "p.A", no display name
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                                // class, package, display method
    0, 0,                                                                                                 // no field information; end
    0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 0,                                                             // time, U4 0
    1, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 4, 'm', 'a', 'i', 'n', 0, 4, 'm', 'a', 'i', 'n', 0, 0,               // thread, name, group, parent
    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,       // Java id 1, start 9, alive
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,                                           // no CPU time, no statuses
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                                                                   // no creator, no path
    0, 0, 0, 0, 0,                                                                                        // end of threads, no bookmarks
    0, 0,                                                                                                 // no new descriptions
};

TEST(LoadDataViewTest, ALoadedSnapshotMapsStoredIdsAndNamesItsFile)
{
    // Version 36, loaded, stored IDs of 4 bytes: method 0xAA00 is now 0x10;
    // thread 0xBB00 is now 0x50 (as a JLong); the file "/t/jfd1".
    const Bytes head = {
        0, 0, 0, 36, 0, 0, 0, 0, 4,                                      //
        1, 0x00, 0xAA, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0,                  // stored 0xAA00 -> 0x10
        1, 0x00, 0xBB, 0, 0, 0x50, 0, 0, 0, 0, 0, 0, 0,                  // stored 0xBB00 -> 0x50
        0,                                                               // end of the pairs
        1, 0x00, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x50,                  // thread 0xBB00 -> JLong 0x50
        0,                                                               // end of the threads
        0, 0, 7, '/', 't', '/', 'j', 'f', 'd', '1',                      // the file
    };
    Registry registry;
    LoadDataReply reply;
    ASSERT_TRUE(LoadDataView::readLoadDataReply(head + DESCRIPTIONS, 8, &registry, &reply));
    EXPECT_EQ(reply.result, 36);
    EXPECT_TRUE(reply.loaded);
    EXPECT_EQ(reply.storedIdSize, 4u);
    EXPECT_EQ(reply.ids, (std::vector<std::pair<uint64_t, uint64_t>>{{0xAA00, 0x10}, {0xBB00, 0x50}}));
    EXPECT_EQ(reply.threadIds, (std::vector<std::pair<uint64_t, int64_t>>{{0xBB00, 0x50}}));
    EXPECT_TRUE(reply.hasFile);
    EXPECT_EQ(reply.file, "/t/jfd1");
    EXPECT_EQ(reply.time, 0x1234);
    ASSERT_EQ(reply.threads.size(), 1u);
    EXPECT_EQ(reply.threads[0].id, 0x50u);
    EXPECT_EQ(reply.threads[0].name, "main");
    EXPECT_EQ(registry.describe(0x10), "p.A.run");
    std::string text = LoadDataView::format(reply, registry);
    EXPECT_NE(text.find("read result 36 (snapshot version 36)"), std::string::npos) << text;
    EXPECT_NE(text.find("2 IDs mapped, 1 threads"), std::string::npos) << text;
    EXPECT_NE(text.find("thread main (main)"), std::string::npos) << text;

    // Stored IDs of 8 bytes, no pairs, and no file (byte 1).
    const Bytes wide = {0, 0, 0, 36, 0, 0, 0, 0, 8, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_TRUE(LoadDataView::readLoadDataReply(wide + DESCRIPTIONS, 8, &registry, &reply));
    EXPECT_EQ(reply.ids, (std::vector<std::pair<uint64_t, uint64_t>>{{0x0807060504030201ull, 0x10}}));
    EXPECT_FALSE(reply.hasFile);

    // Cut anywhere, or with a byte more: refused.
    Bytes whole = head + DESCRIPTIONS;
    for (size_t cut = 0; cut < whole.size(); cut++) {
        Registry r;
        LoadDataReply partial;
        EXPECT_FALSE(LoadDataView::readLoadDataReply(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)), 8, &r, &partial))
            << cut;
    }
    EXPECT_FALSE(LoadDataView::readLoadDataReply(whole + Bytes{0}, 8, &registry, &reply));
}

TEST(LoadDataViewTest, AFailedReadGivesItsResultAndTheDescriptionsOnly)
{
    struct Case {
        Bytes result;
        int32_t value;
        const char *text;
    };
    const Case cases[] = {
        {{0xFF, 0xFF, 0xFC, 0x15}, -1003, "read result -1003 (damaged snapshot)"},
        {{0xFF, 0xFF, 0xFC, 0x16}, -1002, "read result -1002 (snapshot of a newer agent)"},
        {{0, 0, 0, 0}, 0, "read result 0 (snapshot of an agent too old)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        Registry registry;
        LoadDataReply reply;
        ASSERT_TRUE(LoadDataView::readLoadDataReply(c.result + Bytes{1} + DESCRIPTIONS, 8, &registry, &reply));
        EXPECT_EQ(reply.result, c.value);
        EXPECT_FALSE(reply.loaded);
        EXPECT_TRUE(reply.ids.empty());
        EXPECT_EQ(reply.threads.size(), 1u);
        EXPECT_NE(LoadDataView::format(reply, registry).find(c.text), std::string::npos);
    }
    // A stored ID size no agent writes, and a flag that is neither 0 nor 1.
    Registry registry;
    LoadDataReply reply;
    EXPECT_FALSE(LoadDataView::readLoadDataReply(Bytes{0, 0, 0, 36, 0, 0, 0, 0, 5, 0, 0, 1} + DESCRIPTIONS, 8, &registry, &reply));
    EXPECT_FALSE(LoadDataView::readLoadDataReply(Bytes{0, 0, 0, 36, 2} + DESCRIPTIONS, 8, &registry, &reply));
}

} // namespace
