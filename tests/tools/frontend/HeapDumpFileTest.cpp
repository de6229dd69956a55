// Reading "jhd" heap dumps from literal bytes: objects with fields or
// elements, primitive values, roots, class dumps, the method table, and
// damaged input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "HeapDumpFile.h"
#include "Registry.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes id8(uint64_t v)
{
    Bytes b;
    for (int i = 0; i < 8; i++)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes sampleDump()
{
    return cat({
        {0, 0, 0, 4, 1, 1, 0, 0, 1}, id8(0x99),
        // a node of a list: reference field 0, int field 1, long field 2
        {1, 2}, id8(0xC1), {0x55, 0x55, 0x55, 0x54}, id8(1), {0, 0, 0, 24, 0, 0, 0, 0},
        {4, 0, 0, 0x55, 0x55, 0x55, 0x55}, {1, 0, 3, 0x7F}, {8, 0, 2, 0, 0, 0, 0, 0, 0, 0, 9}, {0},
        // Object[] {null, x}
        {1, 3}, id8(0xC2), {0, 0, 0, 5}, id8(0x77), {0, 0, 0, 24, 0, 0, 0, 12}, {0, 0, 0, 2},
        {0, 0, 0, 2, 0x55, 0x55, 0x55, 0x54}, {0, 0, 0, 0},
        // a stack root and a global
        {1, 54, 0, 0, 0, 5}, id8(0xAB), {0, 0, 0, 0, 0, 0, 0, 3},
        {1, 52, 0x55, 0x55, 0x55, 0x55}, id8(0),
        // char[2] with values, int[] without
        {1, 6}, id8(0xC3), {0, 0, 0, 6}, id8(1), {0, 0, 0, 20, 0, 0, 0, 0}, {0, 0, 0, 20, 1, 0, 0, 0, 2, 0, 0x41, 0, 0x42},
        {1, 8}, id8(0xC4), {0, 0, 0, 7}, id8(1), {0, 0, 0, 20, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0},
        // one class dump
        {1}, id8(0xC1), {0, 0, 0, 0x10}, id8(1), {0, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0},
        {0, 0, 0, 1, 0, 0, 0, 0x30}, {1, 0, 0, 0, 0x40, 0, 0, 0, 0}, {0}, {1, 0, 0, 0, 2, 0xAA, 0xBB},
        {0},
        {1}, id8(0xAB), id8(0xCD), {0},
    });
}

TEST(JhdReaderTest, ReadsEveryRecord)
{
    JhdDump d;
    std::string error;
    ASSERT_TRUE(parseHeapDump(sampleDump(), 8, &d, &error)) << error;
    EXPECT_EQ(d.version, 4u);
    EXPECT_TRUE(d.allocationTime);
    EXPECT_TRUE(d.primitiveValues);
    EXPECT_FALSE(d.option4);
    EXPECT_TRUE(d.option6);
    EXPECT_EQ(d.unknownNode, 0x99u);
    ASSERT_EQ(d.objects.size(), 4u);
    const JhdObject &node = d.objects[0];
    EXPECT_EQ(node.type, 2);
    EXPECT_EQ(node.classId, 0xC1u);
    EXPECT_EQ(node.id, 1431655764u);
    EXPECT_EQ(node.node, 1u);
    EXPECT_EQ(node.size, 24u);
    ASSERT_EQ(node.entries.size(), 3u);
    EXPECT_EQ(node.entries[0].tag, 4);
    EXPECT_EQ(node.entries[0].index, 0u);
    EXPECT_EQ(node.entries[0].value, 1431655765u);
    EXPECT_EQ(node.entries[1].tag, 1);
    EXPECT_EQ(node.entries[1].index, 3u);
    EXPECT_EQ(node.entries[1].value, 0x7Fu);
    EXPECT_EQ(node.entries[2].value, 9u);
    const JhdObject &array = d.objects[1];
    EXPECT_EQ(array.type, 3);
    EXPECT_EQ(array.length, 2u);
    EXPECT_EQ(array.time, 12u);
    EXPECT_EQ(array.node, 0x77u);
    ASSERT_EQ(array.entries.size(), 1u);
    EXPECT_EQ(array.entries[0].index, 1u);
    EXPECT_EQ(array.entries[0].value, 1431655764u);
    EXPECT_TRUE(d.objects[2].hasValues);
    EXPECT_EQ(d.objects[2].values, (std::vector<uint64_t>{0x41, 0x42}));
    EXPECT_FALSE(d.objects[3].hasValues);
    ASSERT_EQ(d.roots.size(), 2u);
    EXPECT_EQ(d.roots[0].kind, 54);
    EXPECT_TRUE(d.roots[0].stack);
    EXPECT_EQ(d.roots[0].id, 5u);
    EXPECT_EQ(d.roots[0].method, 0xABu);
    EXPECT_EQ(d.roots[0].location, 3);
    EXPECT_EQ(d.roots[1].kind, 52);
    EXPECT_FALSE(d.roots[1].stack);
    ASSERT_EQ(d.classes.size(), 1u);
    EXPECT_EQ(d.classes[0].tag, 0x10u);
    EXPECT_EQ(d.classes[0].size, 320u);
    EXPECT_EQ(d.classes[0].loaderId, 0x20u);
    EXPECT_EQ(d.classes[0].interfaceIds, (std::vector<uint32_t>{0x30}));
    EXPECT_EQ(d.classes[0].constantPoolIds, (std::vector<uint32_t>{0x40}));
    EXPECT_EQ(d.classes[0].staticData, (Bytes{0xAA, 0xBB}));
    ASSERT_EQ(d.methods.size(), 1u);
    EXPECT_EQ(d.methods[0], std::make_pair(uint64_t{0xAB}, uint64_t{0xCD}));
    std::string text = describeHeapDump(d);
    EXPECT_NE(text.find("4 objects, 2 roots, 1 class dumps, 1 methods"), std::string::npos) << text;
    EXPECT_NE(text.find("object 5 type 3"), std::string::npos) << text;
    EXPECT_NE(text.find("root 54 object 5 method 0xab location 3"), std::string::npos) << text;
    EXPECT_NE(text.find("class 16 id 0xc1 node 0x1 time 0 loader 32 interfaces 48 constant pool 64 static data 2 bytes aabb\n"),
              std::string::npos)
        << text;
}

Bytes u4(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

TEST(JhdReaderTest, DumpCommandRepliesByValueAndTheirFailures)
{
    Bytes dump = sampleDump();
    uint32_t crc = static_cast<uint32_t>(crc32(0, dump.data(), static_cast<uInt>(dump.size())));
    // U4 1, JLong size, the bytes, the CRC, no new methods or classes.
    Bytes reply = cat({u4(1), u4(0), u4(static_cast<uint32_t>(dump.size())), dump, u4(crc), {0, 0}});
    Registry registry;
    JhdDump d;
    std::string error;
    ASSERT_TRUE(readHeapDumpReply(reply, 8, &registry, &d, &error)) << error;
    EXPECT_EQ(d.objects.size(), 4u);
    EXPECT_EQ(d.classes.size(), 1u);

    Bytes badCrc = cat({u4(1), u4(0), u4(static_cast<uint32_t>(dump.size())), dump, u4(crc ^ 1), {0, 0}});
    EXPECT_FALSE(readHeapDumpReply(badCrc, 8, &registry, &d, &error));
    EXPECT_NE(error.find("bad CRC-32"), std::string::npos) << error;
    EXPECT_FALSE(readHeapDumpReply(u4(0), 8, &registry, &d, &error));
    EXPECT_NE(error.find("could not make"), std::string::npos) << error;
    Bytes tooLong = cat({u4(1), u4(0), u4(1000000), dump});
    EXPECT_FALSE(readHeapDumpReply(tooLong, 8, &registry, &d, &error));
    EXPECT_NE(error.find("cut short"), std::string::npos) << error;
    EXPECT_FALSE(readHeapDumpReply(cat({u4(2), {0, 4, '/', 'n', 'o', 'x'}, {0, 0}}), 8, &registry, &d, &error));
    EXPECT_NE(error.find("cannot open /nox"), std::string::npos) << error;
}

TEST(JhdReaderTest, DamagedDumpsAreRejected)
{
    Bytes whole = sampleDump();
    JhdDump d;
    std::string error;
    // Every cut before the end is reported, never read as a whole dump.
    for (size_t cut = 0; cut < whole.size(); cut++) {
        Bytes part(whole.begin(), whole.begin() + static_cast<long>(cut));
        EXPECT_FALSE(parseHeapDump(part, 8, &d, &error)) << "cut at " << cut;
    }
    Bytes badVersion = whole;
    badVersion[3] = 5;
    EXPECT_FALSE(parseHeapDump(badVersion, 8, &d, &error));
    EXPECT_NE(error.find("not a heap dump"), std::string::npos);
    Bytes badKind = whole;
    badKind[18] = 40; // the first record's kind
    EXPECT_FALSE(parseHeapDump(badKind, 8, &d, &error));
    EXPECT_NE(error.find("unknown record kind 40"), std::string::npos) << error;
    // A huge element count in a short file is caught before reading.
    Bytes hugeArray = cat({{0, 0, 0, 4, 0, 1, 0, 0, 0}, id8(1), {1, 8}, id8(0xC4), {0, 0, 0, 7}, id8(1),
                           {0, 0, 0, 20, 0, 0, 0, 0}, {0, 0, 0, 20, 1, 0xFF, 0xFF, 0xFF, 0xFF}});
    EXPECT_FALSE(parseHeapDump(hugeArray, 8, &d, &error));
    EXPECT_NE(error.find("cut short"), std::string::npos) << error;
}

} // namespace
