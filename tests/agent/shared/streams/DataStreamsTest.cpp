#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "../../../support/TempDir.h"
#include "../../../support/ThreadState.h"
#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"
#include "Crc32.h"
#include "FileDataReader.h"
#include "FileDataWriter.h"
#include "GzFileDataReader.h"
#include "GzFileDataWriter.h"
#include "SocketDataReader.h"
#include "SocketDataWriter.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// Keeps every delivery apart, so a test sees the packets.
class RecordingWriter : public DataWriter {
public:
    std::vector<Bytes> sends;
    Bytes all() const
    {
        Bytes out;
        for (const Bytes &s : sends)
            out.insert(out.end(), s.begin(), s.end());
        return out;
    }

protected:
    int mdSend(const void *data, int length) override
    {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        sends.emplace_back(p, p + length);
        return length;
    }
};

Bytes written(void (*write)(DataWriter &))
{
    RecordingWriter w;
    write(w);
    w.flush();
    return w.all();
}

} // namespace

TEST(DataWriterTest, EncodesLiteralBytes)
{
    struct Case {
        const char *name;
        void (*write)(DataWriter &);
        Bytes expect;
    };
    const Case cases[] = {
        {"byte", [](DataWriter &w) { w.writeByte(0x1FF); }, {0xFF}},
        {"U2 big-endian", [](DataWriter &w) { w.writeU2(0xABCD); }, {0xAB, 0xCD}},
        {"U4 big-endian", [](DataWriter &w) { w.writeU4(0xCAFED00Du); }, {0xCA, 0xFE, 0xD0, 0x0D}},
        {"JLong high word first", [](DataWriter &w) { w.writeJLong(0x0102030405060708LL); }, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"negative JLong", [](DataWriter &w) { w.writeJLong(-2); }, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
        {"string", [](DataWriter &w) { w.writeString("36"); }, {0x00, 0x02, '3', '6'}},
        {"null string", [](DataWriter &w) { w.writeString(nullptr); }, {0x00, 0x00}},
        {"counted string", [](DataWriter &w) { w.writeString("abcdef", 3); }, {0x00, 0x03, 'a', 'b', 'c'}},
        {"ID in host order, 8 bytes", [](DataWriter &w) { w.writeID(reinterpret_cast<void *>(0x1122334455667788ULL)); },
         {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
        {"ID of 4 bytes", [](DataWriter &w) { w.writeID(reinterpret_cast<void *>(0x11223344ULL), 4); }, {0x44, 0x33, 0x22, 0x11}},
        {"ID64 in host order", [](DataWriter &w) { w.writeID64(0x0102030405060708LL); }, {8, 7, 6, 5, 4, 3, 2, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(written(c.write), c.expect);
    }
}

TEST(DataWriterTest, LongStringIsCutToWhatTheLengthCanSay)
{
    for (int size : {65535, 65536, 70000}) {
        SCOPED_TRACE(size);
        std::string text(size, 'x');
        text[65534] = 'y';
        RecordingWriter w;
        w.writeString(text.c_str());
        w.writeByte(0x42);
        w.flush();
        Bytes out = w.all();
        ASSERT_EQ(out.size(), 2u + 65535u + 1u);
        EXPECT_EQ(out[0], 0xFF);
        EXPECT_EQ(out[1], 0xFF);
        EXPECT_EQ(out[2 + 65534], 'y');
        EXPECT_EQ(out.back(), 0x42) << "the next item follows the cut string";
    }
}

TEST(DataWriterTest, BuffersSixteenKilobytesAndSendsLargeDataAsOnePacket)
{
    RecordingWriter w;
    Bytes hundred(100, 0xAA);
    Bytes large(20000, 0xBB);
    w.writeBuffered(hundred.data(), 100);
    EXPECT_TRUE(w.sends.empty());
    w.writeBuffered(large.data(), 20000);
    ASSERT_EQ(w.sends.size(), 2u);
    EXPECT_EQ(w.sends[0], hundred);
    EXPECT_EQ(w.sends[1], large);

    // Exactly full is still buffered; one more byte flushes first.
    RecordingWriter f;
    Bytes full(DataWriter::BUFFER_SIZE, 1);
    f.writeBuffered(full.data(), DataWriter::BUFFER_SIZE);
    EXPECT_TRUE(f.sends.empty());
    f.writeByte(2);
    ASSERT_EQ(f.sends.size(), 1u);
    EXPECT_EQ(f.sends[0].size(), static_cast<size_t>(DataWriter::BUFFER_SIZE));
    f.flush();
    EXPECT_EQ(f.sends.back(), Bytes{2});
    f.flush();
    EXPECT_EQ(f.sends.size(), 2u) << "an empty buffer sends nothing";
}

TEST(DataWriterTest, PacketFramingAndEndMarker)
{
    RecordingWriter w;
    w.setWritePacketSize(true);
    w.writeU2(0x0102);
    w.writeByte(3);
    w.flush();
    w.setWritePacketSize(false);
    w.writeByte(9);
    w.flush();
    EXPECT_EQ(w.all(), (Bytes{1, 0, 0, 0, 3, 1, 2, 3, 0, 9}));

    RecordingWriter never;
    never.setWritePacketSize(false);
    never.flush();
    EXPECT_TRUE(never.sends.empty()) << "no end marker without packet mode";
}

TEST(DataReaderTest, ReadsLiteralBytesAndDefaultsAtTheEnd)
{
    const unsigned char bytes[] = {0x7F, 0xAB, 0xCD, 0xFF, 0xFF, 0xFF, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x02, 'h', 'i', 0x12, 0x34};
    ByteArrayDataReader r(bytes, sizeof bytes);
    EXPECT_EQ(r.readByte(-1), 0x7F);
    EXPECT_EQ(r.readU2(-1), 0xABCD);
    EXPECT_EQ(r.readS4(0), -2);
    EXPECT_EQ(r.readJLong(0), 0x0102030405060708LL);
    char *text = r.readString(nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "hi");
    delete[] text;
    EXPECT_EQ(r.available(), 2);
    EXPECT_EQ(r.readU4(0xDEADu), 0xDEADu) << "two bytes left: default";
    EXPECT_TRUE(r.getError());
    EXPECT_EQ(r.readByte(-7), -7) << "after the end every read gives the default";
    char def[] = "none";
    EXPECT_EQ(r.readString(def), def);
    EXPECT_TRUE(r.setBack(2));
    EXPECT_FALSE(r.setBack(100));
}

TEST(DataReaderTest, VariableWidthIdsAndLaterTranslation)
{
    struct Case {
        const char *name;
        int width;
        Bytes stream;
    };
    // Three stored IDs: object 0x10 defined, a reference to 0x20 (defined
    // later), a reference to 0x10, then 0x20 defined, then a 0 reference.
    const Case cases[] = {
        {"4-byte ids", 4, {0x10, 0, 0, 0, 0x20, 0, 0, 0, 0x10, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0}},
        {"8-byte ids", 8, {0x10, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0,
                           0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int objectA, objectB;
        ByteArrayDataReader r(c.stream.data(), static_cast<int>(c.stream.size()));
        r.enableIDUpdate(true, c.width);
        EXPECT_EQ(r.is64MapUsed(), c.width == 8);
        r.readOldID(&objectA);
        void *slot = nullptr;
        r.readUpdatableID(&slot);
        EXPECT_EQ(slot, reinterpret_cast<void *>(0x20)) << "the slot holds the stored id until resolved";
        EXPECT_EQ(r.readAndUpdateID(), &objectA);
        r.readOldID(&objectB);
        EXPECT_EQ(r.readAndUpdateID(), nullptr) << "a zero id stays zero";
        r.updateIDs();
        EXPECT_EQ(slot, &objectB);
        EXPECT_FALSE(r.getError());
    }

    const unsigned char raw[] = {0x44, 0x33, 0x22, 0x11};
    ByteArrayDataReader plain(raw, sizeof raw);
    EXPECT_EQ(plain.readAndUpdateID(), reinterpret_cast<void *>(0x11223344)) << "without translation the value read";
}

TEST(DataStreamsTest, WriterAndReaderRoundTrip)
{
    CharVectorDataWriter w;
    w.writeU4(31);
    w.writeJLong(-123456789012345LL);
    w.writeString("Orvane");
    w.writeID(&w);
    w.flush();
    std::vector<char> &bytes = w.getBytes();
    ByteArrayDataReader r(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(r.readU4(0), 31u);
    EXPECT_EQ(r.readJLong(0), -123456789012345LL);
    char *text = r.readString(nullptr);
    EXPECT_STREQ(text, "Orvane");
    delete[] text;
    EXPECT_EQ(r.readID(nullptr), static_cast<void *>(&w));
    EXPECT_EQ(r.available(), 0);
}

TEST(Crc32Test, AgreesWithZlib)
{
    EXPECT_EQ(Crc32::of("123456789", 9), 0xCBF43926u);
    std::vector<unsigned char> data(100000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
    for (size_t length : {size_t(0), size_t(1), size_t(255), data.size()}) {
        SCOPED_TRACE(length);
        uLong z = crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(length));
        EXPECT_EQ(Crc32::of(data.data(), length), static_cast<uint32_t>(z));
    }
    // Folding in pieces gives the same value.
    uint32_t state, out;
    Crc32::clearCRC32(&state);
    Crc32::addCrc32b(&state, data.data(), 1000);
    Crc32::addCrc32b(&state, nullptr, 0); // an empty piece changes nothing
    Crc32::addCrc32b(&state, data.data() + 1000, data.size() - 1000);
    Crc32::getCRC32(&out, state);
    EXPECT_EQ(out, Crc32::of(data.data(), data.size()));
}

TEST(FileStreamsTest, FileWriterCrcAndReaderAcrossBlocks)
{
    TempDir dir;
    std::string path = dir / "data.bin";
    FILE *f = fopen(path.c_str(), "w+b");
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> payload(20000);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<unsigned char>(i % 251);
    {
        FileDataWriter w(f);
        w.writeU4(0xCAFED00Du);
        w.resetCRC32();
        w.writeBuffered(payload.data(), static_cast<int>(payload.size()));
        EXPECT_EQ(w.getCRC32(), static_cast<uint32_t>(crc32(0L, payload.data(), payload.size())));
        EXPECT_EQ(w.getPos(), 4 + 20000);
        EXPECT_EQ(w.seek(0, SEEK_SET), 0);
        EXPECT_FALSE(w.getError());
    }
    rewind(f);
    FileDataReader r(f);
    EXPECT_EQ(r.available(), 20004);
    EXPECT_EQ(r.readU4(0), 0xCAFED00Du);
    std::vector<unsigned char> back(payload.size());
    EXPECT_EQ(r.readFully(back.data(), static_cast<int>(back.size())), 20000);
    EXPECT_EQ(back, payload);
    EXPECT_EQ(r.available(), 0);
    EXPECT_EQ(r.readByte(-1), -1);
    fclose(f);
}

TEST(FileStreamsTest, GzipFilePassesGzipTestAndReadsBack)
{
    TempDir dir;
    std::string path = dir / "snap.gz";
    {
        GzFileDataWriter w(path.c_str());
        for (int i = 0; i < 10000; i++)
            w.writeU4(static_cast<uint32_t>(i));
        EXPECT_TRUE(w.close());
    }
    std::string check = "gzip -t '" + path + "'";
    EXPECT_EQ(std::system(check.c_str()), 0);
    GzFileDataReader r(path.c_str());
    EXPECT_EQ(r.readU4(0), 0u);
    EXPECT_EQ(r.seek(4 * 9999), 0);
    EXPECT_EQ(r.getPos(), 4 * 9999);
    EXPECT_EQ(r.readU4(0), 9999u);
    EXPECT_EQ(r.readU4(77), 77u);
    EXPECT_TRUE(r.getError());

    GzFileDataReader missing((dir / "none.gz").c_str());
    EXPECT_TRUE(missing.getError());
    testing::internal::CaptureStderr();
    GzFileDataWriter bad((dir / "no/such/dir.gz").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Orvane> error\n");
    EXPECT_TRUE(bad.getError());
}

TEST(SocketStreamsTest, ClosedPeerSetsErrorWithoutSignal)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[1]);
    SocketDataWriter w(fds[0]);
    w.writeU4(1);
    w.flush(); // would raise SIGPIPE and end the test program without MSG_NOSIGNAL
    EXPECT_TRUE(w.getError());
    w.writeU4(2);
    w.flush();
    EXPECT_TRUE(w.getError());
    close(fds[0]);
}

namespace {
volatile sig_atomic_t signalsTaken = 0;
void onSignal(int) { signalsTaken = signalsTaken + 1; }
} // namespace

TEST(SocketStreamsTest, InterruptedReceiveIsRetried)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal; // no SA_RESTART: recv fails with EINTR
    sigaction(SIGUSR1, &sa, &old);
    pthread_t reader = pthread_self();
    pid_t readerTid = threadState::currentTid();
    signalsTaken = 0;
    std::thread peer([&] {
        // The signal lands while the reader waits in its receive, which then fails with EINTR;
        // the data comes only once the reader waits again, after its retry.
        EXPECT_TRUE(threadState::waitUntilSleeping(readerTid));
        pthread_kill(reader, SIGUSR1);
        for (int i = 0; i < 2000 && signalsTaken == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(threadState::waitUntilSleeping(readerTid));
        const unsigned char msg[] = {0, 0, 0, 42};
        EXPECT_EQ(write(fds[1], msg, 4), 4);
    });
    SocketDataReader r(fds[0]);
    EXPECT_EQ(r.readU4(0), 42u);
    EXPECT_FALSE(r.getError());
    peer.join();
    EXPECT_EQ(signalsTaken, 1);
    close(fds[1]);
    EXPECT_EQ(r.readU4(5), 5u) << "closed peer: end of stream";
    EXPECT_TRUE(r.getError());
    sigaction(SIGUSR1, &old, nullptr);
    close(fds[0]);
}
