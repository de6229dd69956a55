// Class dumps of a walk with their static data kept in the swap file: the
// bytes written, zeros for what was never set, and a failing swap file that
// makes the dump unusable instead of ending the process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CharVectorDataWriter.h"
#include "HeapDumpClassTable.h"
#include "HeapDumpRecords.h"
#include "HeapDumpSwap.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(CharVectorDataWriter &w)
{
    w.flush();
    return Bytes(w.getBytes().begin(), w.getBytes().end());
}

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

// A private TMPDIR for the test's swap files.
class SwapDir {
public:
    SwapDir()
    {
        char name[] = "/tmp/hdswapXXXXXX";
        dir = mkdtemp(name) != nullptr ? name : "";
        const char *old = getenv("TMPDIR");
        hadOld = old != nullptr;
        if (hadOld)
            oldValue = old;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~SwapDir()
    {
        if (hadOld)
            setenv("TMPDIR", oldValue.c_str(), 1);
        else
            unsetenv("TMPDIR");
        rmdir(dir.c_str());
    }
    std::string dir;

private:
    bool hadOld = false;
    std::string oldValue;
};

HeapDumpClass classDumpOf(uint64_t classId, uint32_t tag)
{
    HeapDumpClass c;
    c.classId = classId;
    c.tag = tag;
    return c;
}

TEST(HeapDumpClassTableTest, StaticValuesOfEverySizeLandAtTheirOffsetsMostSignificantFirst)
{
    SwapDir tmp;
    HeapDumpSwap swap;
    ASSERT_TRUE(swap.create());
    // The swap file is private and under TMPDIR, named "ovr...".
    struct stat st;
    ASSERT_EQ(stat(swap.getPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(swap.getPath().compare(0, tmp.dir.size() + 4, tmp.dir + "/ovr"), 0) << swap.getPath();

    HeapDumpClassTable table(&swap);
    HeapDumpClass prims = classDumpOf(0xC1, 0x55555554);
    prims.loaderId = 7;
    prims.interfaceIds = {9};
    table.add(prims, 34);
    table.add(classDumpOf(0xC2, 0x20), 4); // static data never set: zeros
    table.add(classDumpOf(0xC3, 0x21), 0); // no static fields
    // A second add for the same class keeps the first.
    EXPECT_EQ(table.add(classDumpOf(0xFF, 0x20), 99)->classId, 0xC2u);
    ASSERT_EQ(table.size(), 3u);

    EXPECT_TRUE(table.setStatic(0x55555554, 0, 1, 1));                     // boolean
    EXPECT_TRUE(table.setStatic(0x55555554, 1, 1, 0xFD));                  // byte
    EXPECT_TRUE(table.setStatic(0x55555554, 2, 2, 0x42));                  // char
    EXPECT_TRUE(table.setStatic(0x55555554, 4, 2, 0x1234));                // short
    EXPECT_TRUE(table.setStatic(0x55555554, 6, 4, 5));                     // int
    EXPECT_TRUE(table.setStatic(0x55555554, 10, 8, 0x1112131415161718ull)); // long
    EXPECT_TRUE(table.setStatic(0x55555554, 18, 4, 0x40000000));            // float 2.0
    EXPECT_TRUE(table.setStatic(0x55555554, 22, 8, 0xBFF0000000000000ull)); // double -1.0
    EXPECT_TRUE(table.setStatic(0x55555554, 30, 4, 0x55555560));            // a reference
    // Outside the static data, or of a class without a dump: dropped.
    EXPECT_TRUE(table.setStatic(0x55555554, 31, 4, 0xEEEEEEEE));
    EXPECT_TRUE(table.setStatic(0x99, 0, 4, 0xEEEEEEEE));

    CharVectorDataWriter w;
    HeapDumpRecords records(&w);
    ASSERT_TRUE(table.writeAll(&records));
    Bytes expected = cat({
        {1}, id8(0xC1), {0x55, 0x55, 0x55, 0x54}, id8(1), {0, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0},
        {0, 0, 0, 1, 0, 0, 0, 9}, {0},
        {1, 0, 0, 0, 34},
        {0x01, 0xFD, 0x00, 0x42, 0x12, 0x34, 0, 0, 0, 5, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x40, 0, 0,
         0, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0, 0x55, 0x55, 0x55, 0x60},
        {1}, id8(0xC2), {0, 0, 0, 0x20}, id8(1), {0, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 0}, {0}, {1, 0, 0, 0, 4, 0, 0, 0, 0},
        {1}, id8(0xC3), {0, 0, 0, 0x21}, id8(1), {0, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 0}, {0}, {1, 0, 0, 0, 0},
        {0},
    });
    EXPECT_EQ(bytesOf(w), expected);

    std::string path = swap.getPath();
    swap.deleteTempFile();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(HeapDumpClassTableTest, AFailingSwapFileMakesTheDumpUnusableAndTheProcessGoesOn)
{
    struct Case {
        const char *what;
        const char *file;
        int flags;
        bool writeFails;
    };
    // /dev/full refuses every write; a write-only file refuses the read-back.
    const Case cases[] = {
        {"full disk", "/dev/full", O_RDWR, true},
        {"unreadable", "/dev/null", O_WRONLY, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HeapDumpSwap swap;
        int fd = open(c.file, c.flags);
        ASSERT_GE(fd, 0);
        swap.adopt(fd, "");
        HeapDumpClassTable table(&swap);
        table.add(classDumpOf(0xC1, 0x10), 8);
        bool stored = table.setStatic(0x10, 0, 4, 1);
        EXPECT_EQ(stored, !c.writeFails);
        CharVectorDataWriter w;
        HeapDumpRecords records(&w);
        EXPECT_FALSE(table.writeAll(&records));
        EXPECT_TRUE(swap.failed());
        // Once failed the swap stays failed.
        EXPECT_FALSE(table.setStatic(0x10, 4, 4, 1));
        EXPECT_EQ(swap.reserve(4), -1);
    }
}

TEST(HeapDumpClassTableTest, SwapFileThatCannotBeMadeIsRefused)
{
    SwapDir tmp;
    setenv("TMPDIR", (tmp.dir + "/missing").c_str(), 1);
    HeapDumpSwap swap;
    EXPECT_FALSE(swap.create());
    EXPECT_TRUE(swap.failed());
    HeapDumpClassTable table(&swap);
    table.add(classDumpOf(0xC1, 0x10), 4);
    EXPECT_FALSE(table.setStatic(0x10, 0, 4, 1));
}

TEST(HeapDumpClassTableTest, ReadAndWriteOutsideTheReservedRegionsAreRefused)
{
    SwapDir tmp;
    HeapDumpSwap swap;
    ASSERT_TRUE(swap.create());
    EXPECT_EQ(swap.reserve(8), 0);
    EXPECT_EQ(swap.reserve(3), 8);
    unsigned char data[4] = {1, 2, 3, 4};
    EXPECT_TRUE(swap.writeAt(7, data, 4));
    unsigned char back[11];
    EXPECT_TRUE(swap.readAt(0, back, 11));
    EXPECT_EQ(Bytes(back, back + 11), (Bytes{0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}));
    EXPECT_FALSE(swap.readAt(8, back, 4));
    EXPECT_TRUE(swap.failed());
}

} // namespace
