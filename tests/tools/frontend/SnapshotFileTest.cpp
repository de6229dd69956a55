#include "SnapshotFile.h"

#include "../../support/TempDir.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <zlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

// A version 36 snapshot stream with three sections (CPU, classes, Java part) and the trailer of
// a saved file.
const Bytes HEADER = {
    0xCA, 0xFE, 0xD0, 0x0D,                         // magic
    0x00, 0x00, 0x00, 0x24,                         // version 36
    0x00,                                           // JVMTI agent
    0x01, 0x01,                                     // full and restricted JVMTI 1.1
    0x00, 0x02, 'V', 'M',                           // VM name
    0x00, 0x02, '1', '7',                           // VM version
    0x00, 0x00, 0x00, 0x01,                         // allocation-tree recording type
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8, // snapshot time 1000
    0x00, 0x00, 0x00, 0x08,                         // ID size
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0xD0, // VM start 2000
    0x00,                                           // all URLs
    0x00, 0x00, 0x00, 0x03,                         // call-tree collection method
    0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x04, // exceptional cap and time type
    0x01,                                           // array allocations recorded
    0x00, 0x00, 0x00, 0x00, 0x65, 0x00, 0x00, 0x00, // wall-clock time
    0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00, // VM start wall-clock time
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2A, // VM identifier
};

// length (JLong), position (JLong), CRC (U4) for sections 0 to 6; the sections start at 221
const Bytes TABLE = {
    0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0xE4, 0xB6, 0xCC, 0x42, 0x92, // 0: 2 bytes at 228
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0,             // 1: none
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0,             // 2: none
    0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0xDD, 0x35, 0x24, 0x41, 0xC2, // 3: "abc" at 221
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0,             // 4: none
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0,             // 5: none
    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEA, 0xD2, 0x02, 0xEF, 0x8D, // 6: 1 byte at 234
};

const Bytes SECTIONS = {
    0xCA, 0xFE, 0xD0, 0x0D, 'a', 'b', 'c', // section 3
    0xCA, 0xFE, 0xD0, 0x0D, 0x01, 0x02,    // section 0
    0xCA, 0xFE, 0xD0, 0x0D, 0x00,          // section 6
};

const Bytes TRAILER = {
    0x01,                           // configuration follows
    0x00, 0x00, 0x00, 0x07,         // id
    0x00, 0x00, 0x00, 0x04, '<', 'a', '/', '>',
    0x00, 0x00, 0x00, 0x0C,         // seconds running
};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class SnapshotFileTest : public ::testing::Test {
protected:
    std::string writeGz(const Bytes &bytes)
    {
        std::string path = dir / "snapshot.ovs";
        gzFile gz = gzopen(path.c_str(), "wb");
        EXPECT_NE(gz, nullptr);
        EXPECT_EQ(gzwrite(gz, bytes.data(), unsigned(bytes.size())), int(bytes.size()));
        gzclose(gz);
        return path;
    }

    TempDir dir;
};

TEST_F(SnapshotFileTest, ReadsHeaderTableSectionsAndTrailer)
{
    SnapshotFile file;
    ASSERT_EQ(file.open(writeGz(concat({HEADER, TABLE, SECTIONS, TRAILER}))), "");
    const SnapshotHeader &h = file.header();
    EXPECT_EQ(h.version, 36u);
    EXPECT_EQ(h.interfaceKind, 0);
    EXPECT_EQ(h.vmName, "VM");
    EXPECT_EQ(h.vmVersion, "17");
    EXPECT_EQ(h.allocTreeRecordingType, 1u);
    EXPECT_EQ(h.snapshotTime, 1000);
    EXPECT_EQ(h.idSize, 8u);
    EXPECT_EQ(h.vmStartTime, 2000);
    EXPECT_EQ(h.callTreeCollectionMethod, 3u);
    EXPECT_EQ(h.exceptionalCap, 5u);
    EXPECT_EQ(h.exceptionalTimeType, 4u);
    EXPECT_EQ(h.arrayAllocationsRecorded, 1);
    EXPECT_EQ(h.wallClockTime, 0x65000000);
    EXPECT_EQ(h.vmStartWallClockTime, 0x64000000);
    EXPECT_EQ(h.vmIdentifier, 42);

    ASSERT_EQ(file.sections().size(), 7u);
    EXPECT_EQ(file.sections()[3].length, 3u);
    EXPECT_EQ(file.sections()[3].position, 221);
    EXPECT_EQ(file.sections()[3].crc, 0x352441C2u);
    EXPECT_EQ(file.sections()[0].position, 228);

    ASSERT_EQ(file.verifySections(), "");
    for (int i : {0, 3, 6})
        EXPECT_TRUE(file.sections()[i].verified) << i;
    EXPECT_FALSE(file.sections()[1].verified);

    ASSERT_EQ(file.readTrailer(), "");
    EXPECT_TRUE(file.trailer().present);
    EXPECT_EQ(file.trailer().configId, 7u);
    EXPECT_EQ(file.trailer().configXml, "<a/>");
    EXPECT_EQ(file.trailer().secondsRunning, 12u);
}

TEST_F(SnapshotFileTest, StreamWithoutTrailerReadsAsOne)
{
    SnapshotFile file;
    ASSERT_EQ(file.open(writeGz(concat({HEADER, TABLE, SECTIONS}))), "");
    EXPECT_EQ(file.verifySections(), "");
    EXPECT_EQ(file.readTrailer(), "");
    EXPECT_FALSE(file.trailer().present);
}

TEST_F(SnapshotFileTest, DamageIsReported)
{
    struct Case {
        const char *name;
        size_t offset; // byte to change in the whole stream
        uint8_t value;
        const char *openError;   // empty: opens
        const char *verifyError; // part of the verification error
    };
    const size_t sectionStart = HEADER.size() + TABLE.size();
    const Case cases[] = {
        {"wrong magic", 3, 0x0E, "No Orvane snapshot -889270258", ""},
        {"version 37", 7, 37, "snapshot version 37 is newer than 36", ""},
        {"version 10", 7, 10, "snapshot version 10 is too old", ""},
        {"CRC of the CPU section", sectionStart + 5, 'x', "", "section 3: crc error"},
        {"magic of the class section", sectionStart + 7, 0, "", "section 0: magic number error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = concat({HEADER, TABLE, SECTIONS, TRAILER});
        bytes[c.offset] = c.value;
        SnapshotFile file;
        std::string error = file.open(writeGz(bytes));
        EXPECT_EQ(error, c.openError);
        if (!error.empty())
            continue;
        error = file.verifySections();
        EXPECT_NE(error.find(c.verifyError), std::string::npos) << error;
    }
}

TEST_F(SnapshotFileTest, TruncatedHeaderIsAnError)
{
    SnapshotFile file;
    Bytes cut(HEADER.begin(), HEADER.begin() + 40);
    EXPECT_NE(file.open(writeGz(cut)), "");
    EXPECT_NE(file.open(dir / "missing.ovs"), "");
}

TEST_F(SnapshotFileTest, OlderVersionWithoutPositions)
{
    // version 13: no JVMTI bytes or VM strings, U4 lengths, no positions, no later fields
    Bytes v13 = {
        0xCA, 0xFE, 0xD0, 0x0D, 0x00, 0x00, 0x00, 0x0D, // magic, version 13
        0x01,                                           // JVMPI agent
        0x00, 0x00, 0x00, 0x02,                         // allocation-tree recording type
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, // snapshot time
        0x00, 0x00, 0x00, 0x04,                         // ID size 4
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, // VM start unknown
        0x01,                                           // all URLs
        0x00, 0x00, 0x00, 0x01,                         // call-tree collection method
    };
    for (int i = 0; i < 7; i++)
        v13.insert(v13.end(), {0, 0, 0, uint8_t(i), 0, 0, 0, 0});
    SnapshotFile file;
    ASSERT_EQ(file.open(writeGz(v13)), "");
    EXPECT_EQ(file.header().interfaceKind, 1);
    EXPECT_EQ(file.header().idSize, 4u);
    EXPECT_EQ(file.header().vmStartTime, -1);
    EXPECT_EQ(file.header().callTreeCollectionMethod, 1u);
    EXPECT_EQ(file.sections()[5].length, 5u);
    EXPECT_EQ(file.sections()[5].position, -1);
}

} // namespace
