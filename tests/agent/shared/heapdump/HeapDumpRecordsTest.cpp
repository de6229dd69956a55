// The "jhd" records byte for byte, and the dump file: private, CRC-32 equal to
// zlib's, sent by path or by value, sent again, dropped on a write error.
#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CharVectorDataWriter.h"
#include "FileDataWriter.h"
#include "HeapDumpFile.h"
#include "HeapDumpRecords.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(CharVectorDataWriter &w)
{
    w.flush();
    return Bytes(w.getBytes().begin(), w.getBytes().end());
}

// An 8-byte ID in the host (little-endian) order.
Bytes id8(uint64_t v)
{
    Bytes b;
    for (int i = 0; i < 8; i++)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(HeapDumpRecordsTest, HeaderIsVersionFiveSwitchesAndUnknownNode)
{
    ASSERT_EQ(sizeof(void *), 8u);
    CharVectorDataWriter w;
    HeapDumpRecords records(&w);
    HeapDumpFlags flags;
    flags.allocationTime = true;
    flags.option5 = true;
    records.writeHeader(flags, 0x1122334455667788ull);
    EXPECT_EQ(bytesOf(w), cat({{0, 0, 0, 4, 1, 0, 0, 1, 0}, id8(0x1122334455667788ull)}));
}

TEST(HeapDumpRecordsTest, InstanceArrayAndRootsCloseEachOthersLists)
{
    CharVectorDataWriter w;
    HeapDumpRecords records(&w);
    records.beginInstance(0xC1, 1431655764u, 1, 24, 7);
    records.fieldReference(0, 0x0A0B0C0D);
    records.fieldValue(3, 1, 0x1FF); // only the low byte
    records.fieldValue(4, 2, 0xBEEF);
    records.fieldValue(5, 4, 0x3F800000); // 1.0f
    records.fieldValue(6, 8, 0x3FF0000000000000ull); // 1.0d
    records.beginObjectArray(0xC2, 5, 0x77, 24, 0, 2); // {null, x}
    records.elementReference(1, 9);
    records.stackRoot(HD_ROOT_STACK_LOCAL, 5, 0xAB, 0x0102030405060708ll);
    records.root(HD_ROOT_JNI_GLOBAL, 9);
    records.stackRoot(HD_ROOT_JNI_LOCAL, 9, 0xAB, -1); // JNI locals carry no method
    records.endObjects();
    Bytes expected = cat({
        {1, 2}, id8(0xC1), {0x55, 0x55, 0x55, 0x54}, id8(1), {0, 0, 0, 24, 0, 0, 0, 7},
        {4, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D},
        {1, 0, 3, 0xFF},
        {2, 0, 4, 0xBE, 0xEF},
        {4, 0, 5, 0x3F, 0x80, 0, 0},
        {8, 0, 6, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0},
        {0}, // end of the instance's list
        {1, 3}, id8(0xC2), {0, 0, 0, 5}, id8(0x77), {0, 0, 0, 24, 0, 0, 0, 0}, {0, 0, 0, 2},
        {0, 0, 0, 2, 0, 0, 0, 9},
        {0, 0, 0, 0}, // end of the array's list
        {1, 54, 0, 0, 0, 5}, id8(0xAB), {1, 2, 3, 4, 5, 6, 7, 8},
        {1, 52, 0, 0, 0, 9}, id8(0),
        {1, 53, 0, 0, 0, 9}, id8(0), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        {0}, // end of the objects
    });
    EXPECT_EQ(bytesOf(w), expected);
}

TEST(HeapDumpRecordsTest, PrimitiveArraysWithAndWithoutValues)
{
    struct Case {
        int type;
        std::vector<unsigned char> host; // two elements in host order
        Bytes written;                   // as the file holds them
    };
    const Case cases[] = {
        {HD_BOOLEAN_ARRAY, {1, 0}, {1, 0}},
        {HD_BYTE_ARRAY, {0x80, 0x7F}, {0x80, 0x7F}},
        {HD_CHAR_ARRAY, {0x41, 0, 0x34, 0x12}, {0, 0x41, 0x12, 0x34}},
        {HD_SHORT_ARRAY, {0xFF, 0xFF, 1, 0}, {0xFF, 0xFF, 0, 1}},
        {HD_INT_ARRAY, {4, 3, 2, 1, 0, 0, 0x80, 0x3F}, {1, 2, 3, 4, 0x3F, 0x80, 0, 0}},
        {HD_FLOAT_ARRAY, {0, 0, 0x80, 0x3F, 0, 0, 0, 0}, {0x3F, 0x80, 0, 0, 0, 0, 0, 0}},
        {HD_LONG_ARRAY, {8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0},
         {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0}},
        {HD_DOUBLE_ARRAY, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0},
         {0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        CharVectorDataWriter w;
        HeapDumpRecords records(&w);
        records.primitiveArray(c.type, 0xC3, 2, 1, 40, 0, 2, c.host.data());
        records.primitiveArray(c.type, 0xC3, 3, 1, 40, 0, 2, nullptr);
        Bytes head = cat({{1, static_cast<unsigned char>(c.type)}, id8(0xC3)});
        Bytes expected = cat({head, {0, 0, 0, 2}, id8(1), {0, 0, 0, 40, 0, 0, 0, 0}, {0, 0, 0, 40, 1, 0, 0, 0, 2},
                              c.written, head, {0, 0, 0, 3}, id8(1), {0, 0, 0, 40, 0, 0, 0, 0},
                              {0, 0, 0, 0, 0, 0, 0, 0, 0}});
        EXPECT_EQ(bytesOf(w), expected);
    }
}

TEST(HeapDumpRecordsTest, LongArraysKeepTheFirstTenThousandValues)
{
    std::vector<int32_t> values(20000);
    for (size_t i = 0; i < values.size(); i++)
        values[i] = static_cast<int32_t>(i);
    CharVectorDataWriter w;
    HeapDumpRecords records(&w);
    records.primitiveArray(HD_INT_ARRAY, 0xC4, 7, 1, 80016, 0, 20000, values.data());
    Bytes b = bytesOf(w);
    const size_t head = 2 + 8 + 4 + 8 + 4 + 4;
    ASSERT_EQ(b.size(), head + 9 + 10000 * 4);
    EXPECT_EQ(Bytes(b.begin() + head, b.begin() + head + 9), (Bytes{0, 1, 0x38, 0x90, 1, 0, 0, 0x27, 0x10}));
    EXPECT_EQ(Bytes(b.end() - 4, b.end()), (Bytes{0, 0, 0x27, 0x0F})); // element 9999
}

TEST(HeapDumpRecordsTest, ClassDumpsAndMethodTable)
{
    CharVectorDataWriter w;
    HeapDumpRecords records(&w);
    HeapDumpClass c;
    c.classId = 0xC5;
    c.tag = 0x10;
    c.node = 1;
    c.time = 3;
    c.loaderId = 0x20;
    c.interfaceIds = {0x30, 0x31};
    c.constantPoolIds = {0x40};
    c.staticData = {0, 0, 0, 0x50, 9};
    records.classDump(c);
    HeapDumpClass bare;
    bare.classId = 0xC6;
    bare.tag = 0x11;
    records.classDump(bare);
    records.endClassDumps();
    records.method(0xAB, 0xCD);
    records.endMethods();
    Bytes expected = cat({
        {1}, id8(0xC5), {0, 0, 0, 0x10}, id8(1), {0, 0, 1, 0x40, 0, 0, 0, 3, 0, 0, 0, 0x20, 0, 0, 0, 0},
        {0, 0, 0, 2, 0, 0, 0, 0x30, 0, 0, 0, 0x31}, {1, 0, 0, 0, 0x40, 0, 0, 0, 0}, {0},
        {1, 0, 0, 0, 5, 0, 0, 0, 0x50, 9},
        {1}, id8(0xC6), {0, 0, 0, 0x11}, id8(1), {0, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 0}, {0}, {1, 0, 0, 0, 0},
        {0},
        {1}, id8(0xAB), id8(0xCD), {0},
    });
    EXPECT_EQ(bytesOf(w), expected);
}

TEST(HeapDumpRecordsTest, TypeTables)
{
    EXPECT_EQ(heapDumpFieldSize('Z'), 1);
    EXPECT_EQ(heapDumpFieldSize('B'), 1);
    EXPECT_EQ(heapDumpFieldSize('C'), 2);
    EXPECT_EQ(heapDumpFieldSize('S'), 2);
    EXPECT_EQ(heapDumpFieldSize('I'), 4);
    EXPECT_EQ(heapDumpFieldSize('F'), 4);
    EXPECT_EQ(heapDumpFieldSize('L'), 4);
    EXPECT_EQ(heapDumpFieldSize('J'), 8);
    EXPECT_EQ(heapDumpFieldSize('D'), 8);
    EXPECT_EQ(heapDumpFieldSize('V'), 0);
    const int kinds[][2] = {{21, 52}, {22, 56}, {23, 58}, {24, 54}, {25, 53}, {26, 65}, {27, 51}, {20, 0}, {28, 0}};
    for (const auto &k : kinds)
        EXPECT_EQ(heapDumpRootOfReferenceKind(k[0]), k[1]) << k[0];
}

class HeapDumpFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        dir = testing::TempDir() + "jhdtest" + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        setenv("TMPDIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("TMPDIR");
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    static Bytes contents(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    // Writes a dump of `count` bytes 0, 1, 2, ...
    static bool writeDump(HeapDumpFile &file, size_t count)
    {
        FileDataWriter *w = file.begin();
        if (w == nullptr)
            return false;
        for (size_t i = 0; i < count; i++)
            w->writeByte(static_cast<int>(i & 0xFF));
        return file.finish();
    }
    std::string dir;
};

TEST_F(HeapDumpFileTest, ByPathTheFileStaysPrivate)
{
    HeapDumpFile file(false);
    ASSERT_TRUE(writeDump(file, 10));
    EXPECT_TRUE(file.hasNewHeapdump());
    EXPECT_FALSE(file.hasNewHeapdump());
    CharVectorDataWriter w;
    EXPECT_TRUE(file.send(&w, true));
    Bytes b = bytesOf(w);
    std::string path = file.getPath();
    EXPECT_EQ(path.rfind(dir + "/jhd", 0), 0u) << path;
    Bytes expected = {0, 0, 0, 2, 0, static_cast<unsigned char>(path.size())};
    expected.insert(expected.end(), path.begin(), path.end());
    EXPECT_EQ(b, expected);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(contents(path), (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(HeapDumpFileTest, ByValueInChunksWithZlibCrcAndSentAgain)
{
    const size_t size = 2 * HeapDumpFile::COPY_CHUNK + 5;
    HeapDumpFile file(false);
    ASSERT_TRUE(writeDump(file, size));
    Bytes data(size);
    for (size_t i = 0; i < size; i++)
        data[i] = static_cast<unsigned char>(i & 0xFF);
    uint32_t zcrc = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(size)));
    EXPECT_EQ(file.getCRC32(), zcrc);
    for (int round = 0; round < 2; round++) {
        CharVectorDataWriter w;
        EXPECT_TRUE(file.send(&w, false));
        Bytes b = bytesOf(w);
        ASSERT_EQ(b.size(), 4 + 8 + size + 4);
        EXPECT_EQ(Bytes(b.begin(), b.begin() + 12), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0x05}));
        EXPECT_EQ(Bytes(b.begin() + 12, b.end() - 4), data);
        EXPECT_EQ(Bytes(b.end() - 4, b.end()),
                  (Bytes{static_cast<unsigned char>(zcrc >> 24), static_cast<unsigned char>(zcrc >> 16),
                         static_cast<unsigned char>(zcrc >> 8), static_cast<unsigned char>(zcrc)}));
    }
}

TEST_F(HeapDumpFileTest, NoDumpAnswersZeroAndANewDumpReplacesTheOld)
{
    HeapDumpFile file(false);
    CharVectorDataWriter none;
    EXPECT_FALSE(file.send(&none, false));
    EXPECT_EQ(bytesOf(none), (Bytes{0, 0, 0, 0}));
    ASSERT_TRUE(writeDump(file, 3));
    std::string first = file.getPath();
    ASSERT_TRUE(writeDump(file, 4));
    EXPECT_NE(file.getPath(), first);
    EXPECT_NE(access(first.c_str(), F_OK), 0);
    file.deleteTempFile();
    EXPECT_FALSE(file.hasDump());
    CharVectorDataWriter after;
    EXPECT_FALSE(file.send(&after, true));
    EXPECT_EQ(bytesOf(after), (Bytes{0, 0, 0, 0}));
}

TEST_F(HeapDumpFileTest, AWriteErrorLeavesNoDumpFileAndAnswersZero)
{
    // A file size limit stands in for a full disk.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    HeapDumpFile file(false);
    FileDataWriter *w = file.begin();
    std::string path = file.getPath();
    bool finished = true;
    if (w != nullptr) {
        Bytes big(200 * 1024, 7);
        w->writeBuffered(big.data(), static_cast<int>(big.size()));
        finished = file.finish();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(finished);
    EXPECT_FALSE(file.hasDump());
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    CharVectorDataWriter out;
    EXPECT_FALSE(file.send(&out, false));
    EXPECT_EQ(bytesOf(out), (Bytes{0, 0, 0, 0}));
}

TEST_F(HeapDumpFileTest, NoTempDirectoryFailsWithoutAFile)
{
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    HeapDumpFile file(false);
    EXPECT_EQ(file.begin(), nullptr);
    EXPECT_FALSE(file.finish());
    EXPECT_FALSE(file.hasDump());
}

} // namespace

namespace {

TEST_F(HeapDumpFileTest, AFileWrittenByTheVmBecomesThePrivateDump)
{
    // The VM writes its file readable for others; taken over it is private,
    // under a dump file name, with the standard CRC-32 ("123456789": CBF43926).
    std::string source = dir + "/vm.hprof";
    {
        std::ofstream out(source, std::ios::binary);
        out << "123456789";
    }
    chmod(source.c_str(), 0644);
    HeapDumpFile file(false);
    ASSERT_TRUE(file.takeFile(source));
    EXPECT_NE(access(source.c_str(), F_OK), 0);
    EXPECT_TRUE(file.hasNewHeapdump());
    struct stat st;
    ASSERT_EQ(stat(file.getPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(file.getPath().rfind(dir + "/jhd", 0), 0u) << file.getPath();
    CharVectorDataWriter w;
    EXPECT_TRUE(file.send(&w, false));
    EXPECT_EQ(bytesOf(w), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9, '1', '2', '3', '4', '5', '6', '7', '8', '9', 0xCB,
                                 0xF4, 0x39, 0x26}));
    // A file that is not there gives no dump, and the old one is gone.
    std::string old = file.getPath();
    EXPECT_FALSE(file.takeFile(dir + "/missing.hprof"));
    EXPECT_FALSE(file.hasDump());
    EXPECT_NE(access(old.c_str(), F_OK), 0);
    CharVectorDataWriter none;
    EXPECT_FALSE(file.send(&none, false));
    EXPECT_EQ(bytesOf(none), (Bytes{0, 0, 0, 0}));
}

} // namespace
