// Snapshot streams and files: the header, the table of seven sections with
// their positions and CRC-32s, the file order, the reply forms of command 32,
// saved gzip files with their trailer, and reading back damaged streams.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <unistd.h>
#include <sys/stat.h>
#include <zlib.h>

#include "ByteArrayDataReader.h"
#include "GzFileDataReader.h"
#include "HeapProfilingSession.h"
#include "ProfilingTestSupport.h"
#include "SamplerSession.h"
#include "SnapshotJavaPart.h"
#include "SnapshotLoadData.h"
#include "SnapshotProfilingSession.h"
#include "FrontendCommands.h"
#include "SnapshotReader.h"
#include "Counter.h"
#include "SnapshotWriter.h"

namespace {

std::vector<unsigned char> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t u4At(const std::vector<unsigned char> &b, size_t at)
{
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

long long jlongAt(const std::vector<unsigned char> &b, size_t at)
{
    return static_cast<long long>((uint64_t(u4At(b, at)) << 32) | u4At(b, at + 4));
}

// Header of this agent with empty VM name and version: the table follows it.
const size_t ID_SIZE_AT = 27;
const size_t METHOD_AT = 31 + 8 + 1;
const size_t TABLE_AT = 31 + 8 + 1 + 4 + 4 + 4 + 1 + 8 + 8 + 8;

struct TableEntry {
    long long length, position;
    uint32_t crc;
};

std::vector<TableEntry> tableOf(const std::vector<unsigned char> &b)
{
    std::vector<TableEntry> table;
    for (size_t i = 0; i < 7; i++) {
        size_t at = TABLE_AT + i * 20;
        table.push_back({jlongAt(b, at), jlongAt(b, at + 8), u4At(b, at + 16)});
    }
    return table;
}

std::vector<char> configRecord(uint32_t id, const std::string &xml)
{
    Wire w;
    w.u4(id).u4(static_cast<uint32_t>(xml.size()));
    for (char c : xml)
        w.byte(c);
    return std::vector<char>(w.b.begin(), w.b.end());
}

class SnapshotFileTest : public CpuSessionTest {
protected:
    SnapshotFileTest() : CpuSessionTest("app/Main")
    {
        dir = testing::TempDir() + "snapshotfile" + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        setenv("TMPDIR", dir.c_str(), 1);
        sources.session = &profiling;
        sources.classes = &classes;
        sources.cpu = &cpu;
    }
    ~SnapshotFileTest() override
    {
        unsetenv("TMPDIR");
        EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }

    std::vector<unsigned char> stream(bool recorder)
    {
        std::string path = dir + "/stream";
        FILE *file = fopen(path.c_str(), "w+b");
        EXPECT_TRUE(SnapshotWriter::writeStream(file, path, sources, recorder, true));
        fclose(file);
        return readFile(path);
    }

    int readBack(const std::vector<unsigned char> &bytes, int sections = READ_CPU | READ_HEAP | READ_TELEMETRY,
                 SamplerSession *telemetry = nullptr)
    {
        std::string path = dir + "/read";
        writeFile(path, bytes);
        ProfilingSession loaded;
        ClassProfilingSession loadedClasses(&loaded);
        FakeVm loadedVm;
        CpuProfilingSession loadedCpu(&loaded, &loadedVm, CpuProfilingSession::Settings());
        SnapshotSources into;
        into.session = &loaded;
        into.classes = &loadedClasses;
        into.cpu = &loadedCpu;
        into.sampler = telemetry;
        GzFileDataReader reader(path.c_str());
        int result = SnapshotReader::read(&reader, into, sections, nullptr);
        loadedThreads = loadedCpu.getThreadManagers().size();
        return result;
    }

    std::string dir;
    SnapshotSources sources;
    size_t loadedThreads = 0;
};

TEST_F(SnapshotFileTest, StreamStartsWithMagicAndVersionAndCarriesThisAgentsIdSize)
{
    std::vector<unsigned char> b = stream(false);
    ASSERT_GT(b.size(), TABLE_AT + 140);
    EXPECT_EQ(std::vector<unsigned char>(b.begin(), b.begin() + 8),
              (std::vector<unsigned char>{0xCA, 0xFE, 0xD0, 0x0D, 0x00, 0x00, 0x00, 0x24}));
    EXPECT_EQ(u4At(b, ID_SIZE_AT), 8u);
    EXPECT_EQ(u4At(b, METHOD_AT), 3u);
}

TEST_F(SnapshotFileTest, EverySectionStandsAtItsPositionWithMagicLengthAndZlibCrcInFileOrder)
{
    int id = method("run");
    LiveThreadManager *t = cpu.createThreadManager();
    t->ensureThreadDesc();
    cpu.setCpuRecord(true, true);
    enter(t, id, 10);
    leave(t, id, 30);
    std::vector<unsigned char> b = stream(false);
    std::vector<TableEntry> table = tableOf(b);
    const int fileOrder[] = {1, 2, 3, 0, 4, 5, 6};
    long long expectedPosition = static_cast<long long>(TABLE_AT + 7 * 20);
    for (int index : fileOrder) {
        SCOPED_TRACE("section " + std::to_string(index));
        const TableEntry &e = table[static_cast<size_t>(index)];
        EXPECT_EQ(e.position, expectedPosition);
        ASSERT_LE(static_cast<size_t>(e.position + 4 + e.length), b.size());
        EXPECT_EQ(u4At(b, static_cast<size_t>(e.position)), 0xCAFED00Du);
        EXPECT_EQ(e.crc, crc32(0, b.data() + e.position + 4, static_cast<uInt>(e.length)));
        expectedPosition = e.position + 4 + e.length;
    }
    EXPECT_EQ(static_cast<size_t>(expectedPosition), b.size());
    EXPECT_GT(table[3].length, 40); // the recorded thread is in the CPU section
    EXPECT_GT(table[0].length, 10); // so is the class
    // The Java part without data from the Java side.
    EXPECT_EQ(std::vector<unsigned char>(b.end() - 8, b.end()), (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SnapshotFileTest, RecorderSnapshotLeavesHeapDumpAndTelemetryEntriesZeroAndNamesMethodFive)
{
    std::vector<unsigned char> b = stream(true);
    EXPECT_EQ(u4At(b, METHOD_AT), 5u);
    std::vector<TableEntry> table = tableOf(b);
    for (int index : {1, 2, 4, 5}) {
        EXPECT_EQ(table[static_cast<size_t>(index)].length, 0) << index;
        EXPECT_EQ(table[static_cast<size_t>(index)].position, 0) << index;
        EXPECT_EQ(table[static_cast<size_t>(index)].crc, 0u) << index;
    }
    EXPECT_EQ(table[3].position, static_cast<long long>(TABLE_AT + 7 * 20));
}

TEST_F(SnapshotFileTest, EmptyCpuSectionByteForByte)
{
    CharVectorDataWriter w;
    cpu.writeWithoutMonitors(&w);
    cpu.write(&w, false);
    EXPECT_EQ(bytesOf(w),
              Wire().u4(0).byte(1).u4(3).byte(0).u4(0).u4(0).u4(0).byte(0).byte(0).u4(0).u4(0).u4(0).b);
    CharVectorDataWriter recorder;
    cpu.write(&recorder, true);
    EXPECT_EQ(bytesOf(recorder), Wire().byte(0).u4(4).byte(0).u4(0).u4(0).u4(0).byte(0).byte(0).u4(0).u4(0).u4(0).b);
}

TEST_F(SnapshotFileTest, ReadingChecksHeaderAndSections)
{
    int id = method("run");
    LiveThreadManager *t = cpu.createThreadManager();
    t->ensureThreadDesc();
    cpu.setCpuRecord(true, true);
    enter(t, id, 10);
    leave(t, id, 30);
    const std::vector<unsigned char> good = stream(false);
    std::vector<TableEntry> table = tableOf(good);
    auto flipped = [&](size_t at) {
        std::vector<unsigned char> b = good;
        b[at] ^= 0x40;
        return b;
    };
    auto withU4 = [&](size_t at, uint32_t v) {
        std::vector<unsigned char> b = good;
        b[at] = static_cast<unsigned char>(v >> 24);
        b[at + 1] = static_cast<unsigned char>(v >> 16);
        b[at + 2] = static_cast<unsigned char>(v >> 8);
        b[at + 3] = static_cast<unsigned char>(v);
        return b;
    };
    auto crcAt = [&](int index) { return TABLE_AT + static_cast<size_t>(index) * 20 + 16; };
    struct Case {
        const char *what;
        std::vector<unsigned char> bytes;
        int result;
        size_t threads;
    } cases[] = {
        {"as written", good, 36, 1},
        {"wrong magic", withU4(0, 0xCAFEBABE), -1003, 0},
        {"newer version", withU4(4, 37), -1002, 0},
        {"too old a version", withU4(4, 10), 0, 0},
        {"ID size 5", withU4(ID_SIZE_AT, 5), -1003, 0},
        {"telemetry CRC wrong", withU4(crcAt(5), table[5].crc ^ 1), 36, 1},
        {"CPU byte flipped", flipped(static_cast<size_t>(table[3].position + 4 + 6)), 36, 0},
        {"class byte flipped", flipped(static_cast<size_t>(table[0].position + 4 + 3)), -1003, 0},
        {"Java part byte flipped", flipped(static_cast<size_t>(table[6].position + 5)), -1003, 0},
        {"section magic wrong", flipped(static_cast<size_t>(table[1].position)), 36, 1},
        {"table position lies", withU4(TABLE_AT + 3 * 20 + 12, static_cast<uint32_t>(table[3].position + 1)), -1003, 0},
        {"truncated", std::vector<unsigned char>(good.begin(), good.begin() + static_cast<long>(table[0].position) + 6), -1003, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        EXPECT_EQ(readBack(c.bytes), c.result);
        std::string log = testing::internal::GetCapturedStderr();
        if (c.result == 36 || c.result == -1003) {
            EXPECT_EQ(loadedThreads, c.threads);
        }
        if (std::string(c.what) == "wrong magic") {
            EXPECT_NE(log.find("No Orvane snapshot " + std::to_string(static_cast<int>(0xCAFEBABE))), std::string::npos) << log;
        }
    }
}

TEST_F(SnapshotFileTest, FourByteIdsReadAsWellAsEight)
{
    std::vector<unsigned char> b = stream(false);
    b[ID_SIZE_AT + 3] = 4;
    EXPECT_EQ(readBack(b), 36);
}

TEST_F(SnapshotFileTest, ReplyWithSizeCarriesTheWholeStream)
{
    CharVectorDataWriter w;
    EXPECT_EQ(SnapshotWriter::write(&w, sources, false, false, false, true, false), SnapshotWriter::DELIVERED);
    std::vector<unsigned char> b = bytesOf(w);
    ASSERT_GT(b.size(), 12u);
    EXPECT_EQ(u4At(b, 0), 1u);
    EXPECT_EQ(jlongAt(b, 4), static_cast<long long>(b.size() - 12));
    EXPECT_EQ(u4At(b, 12), 0xCAFED00Du);
    // The temporary file is gone.
    EXPECT_NE(system(("ls " + dir + "/ovs* >/dev/null 2>&1").c_str()), 0);
}

TEST_F(SnapshotFileTest, ReplyWithPathNamesAPrivateFile)
{
    CharVectorDataWriter w;
    EXPECT_EQ(SnapshotWriter::write(&w, sources, true, false, false, true, true), SnapshotWriter::DELIVERED);
    std::vector<unsigned char> b = bytesOf(w);
    ASSERT_GT(b.size(), 7u);
    EXPECT_EQ(u4At(b, 0), 2u);
    size_t length = (size_t(b[4]) << 8) | b[5];
    ASSERT_EQ(b.size(), 6 + length + 1);
    std::string path(b.begin() + 6, b.begin() + 6 + static_cast<long>(length));
    EXPECT_EQ(path.rfind(dir + "/ovs", 0), 0u) << path;
    EXPECT_EQ(b.back(), 1); // kept temporary snapshots
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readBack(readFile(path)), 36);
}

TEST_F(SnapshotFileTest, AStreamThatCannotGoBackToItsTableIsAFailure)
{
    // A pipe takes the bytes but cannot seek back to the table or the start.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *file = fdopen(fds[1], "wb");
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(SnapshotWriter::writeStream(file, "pipe", sources, false, true));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not seek tmp file."), std::string::npos);
    fclose(file);
    close(fds[0]);
}

TEST_F(SnapshotFileTest, NoTemporaryFileRepliesZero)
{
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    CharVectorDataWriter w;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SnapshotWriter::write(&w, sources, false, false, false, true, false), SnapshotWriter::FAILED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not get temp file name."), std::string::npos);
    EXPECT_EQ(bytesOf(w), Wire().u4(0).b);
}

TEST_F(SnapshotFileTest, SavedFileIsGzipWithTrailer)
{
    std::string path = dir + "/saved.ovs";
    testing::internal::CaptureStderr();
    ASSERT_TRUE(SnapshotWriter::saveSnapshot(path.c_str(), sources, false, configRecord(7, "<config/>"), 12, false));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Saving snapshot " + path + " ..."), std::string::npos);
    EXPECT_NE(log.find("Done."), std::string::npos);
    EXPECT_EQ(system(("gzip -t " + path).c_str()), 0);
    gzFile gz = gzopen(path.c_str(), "rb");
    std::vector<unsigned char> b(1 << 20);
    int n = gzread(gz, b.data(), static_cast<unsigned>(b.size()));
    gzclose(gz);
    ASSERT_GT(n, 0);
    b.resize(static_cast<size_t>(n));
    std::vector<TableEntry> table = tableOf(b);
    size_t end = static_cast<size_t>(table[6].position + 4 + table[6].length);
    Wire trailer;
    trailer.byte(1).u4(7).u4(9);
    for (char c : std::string("<config/>"))
        trailer.byte(c);
    trailer.u4(12);
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + static_cast<long>(end), b.end()), trailer.b);
    EXPECT_EQ(readBack(b), 36);
}

// The recorder's file: no heap, allocation tree, heap dump or telemetry
// section, and a trailer with an empty configuration. A start ahead of the
// clock counts as no time run.
TEST_F(SnapshotFileTest, RecorderFileHasItsSectionsAndAnEmptyConfiguration)
{
    std::string path = dir + "/recorder.ovs";
    testing::internal::CaptureStderr();
    ASSERT_TRUE(SnapshotWriter::saveRecorderSnapshot(path.c_str(), sources, Counter::getUsec() + 100000000LL, false, false));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Done."), std::string::npos) << log;
    gzFile gz = gzopen(path.c_str(), "rb");
    ASSERT_NE(gz, nullptr);
    std::vector<unsigned char> b(1 << 20);
    int n = gzread(gz, b.data(), static_cast<unsigned>(b.size()));
    gzclose(gz);
    ASSERT_GT(n, 0);
    b.resize(static_cast<size_t>(n));
    std::vector<TableEntry> table = tableOf(b);
    ASSERT_EQ(table.size(), 7u);
    for (size_t index : {1u, 2u, 4u, 5u})
        EXPECT_EQ(table[index].length, 0) << index;
    size_t end = static_cast<size_t>(table[6].position + 4 + table[6].length);
    Wire trailer;
    trailer.byte(1).u4(0).u4(0).u4(0);
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + static_cast<long>(end), b.end()), trailer.b);
}

TEST_F(SnapshotFileTest, SaveThatCannotOpenReportsFailureNotDone)
{
    std::string path = dir + "/no/such/dir/saved.ovs";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(SnapshotWriter::saveSnapshot(path.c_str(), sources, false, configRecord(0, ""), 0, false));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("Done."), std::string::npos) << log;
    EXPECT_NE(log.find("Could not save snapshot"), std::string::npos) << log;
}

} // namespace

namespace {

TEST_F(SnapshotFileTest, TelemetrySectionHoldsTheSamplerDataAndReadsBack)
{
    SamplerSession telemetry(&profiling);
    int types[] = {3};
    const char *names[] = {"jobs"};
    long long values[] = {1};
    telemetry.addTelemetryDescriptions(types, names, values, 1);
    int32_t standard[SamplerSession::STANDARD_SERIES] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    int32_t custom[] = {42};
    telemetry.addSample(2000000, standard, custom, 1);
    telemetry.addBookmark(1500000, "b");
    sources.sampler = &telemetry;
    std::vector<unsigned char> b = stream(false);
    TableEntry section = tableOf(b)[5];
    Wire body;
    body.u4(1).u4(3).str("jobs").jlong(1).u4(1).u4(1).jlong(2000000);
    for (uint32_t v = 1; v <= 12; v++)
        body.u4(v);
    body.u4(42).u4(1).jlong(1500000).str("b");
    ASSERT_EQ(section.length, static_cast<long long>(body.b.size()));
    EXPECT_EQ(std::vector<unsigned char>(b.begin() + section.position + 4, b.begin() + section.position + 4 + section.length), body.b);
    // The snapshot is no reply: the front end still gets the descriptions.
    EXPECT_FALSE(telemetry.getDescriptionsSent());

    SamplerSession loaded(nullptr);
    ASSERT_EQ(readBack(b, READ_CPU | READ_TELEMETRY, &loaded), 36); // the version read
    ASSERT_EQ(loaded.getSampleCount(), 1u);
    EXPECT_EQ(loaded.getSampleTimeUsec(0), 2000000);
    EXPECT_EQ(loaded.getValue(SamplerSession::CREATED_OBJECTS, 0), 12);
    ASSERT_EQ(loaded.getDescriptions().size(), 1u);
    EXPECT_EQ(loaded.getDescriptions()[0].name, "jobs");
    EXPECT_EQ(loaded.getBookmarks().size(), 1u);

    // Without a sampler the section is empty and reads as no telemetry.
    sources.sampler = nullptr;
    std::vector<unsigned char> none = stream(false);
    EXPECT_EQ(tableOf(none)[5].length, 0);
    SamplerSession nothing(nullptr);
    EXPECT_EQ(readBack(none, READ_CPU | READ_TELEMETRY, &nothing), 36);
    EXPECT_EQ(nothing.getSampleCount(), 0u);
}

TEST_F(SnapshotFileTest, LoadDataMapsStoredIdsToTheLoadedObjectsAndHandsOverTheRest)
{
    ClassData *app = new ClassData("app.Loaded", &classes);
    classes.addClassData(app);
    MethodDesc *work = new MethodDesc(app, "work", -1, "()V", -1, &classes, "app.Loaded");
    classes.addMethodDesc(work);
    int32_t id = cpu.getMethodHandles().getHandle(work);
    LiveThreadManager *t = cpu.createThreadManager();
    t->ensureThreadDesc();
    cpu.setCpuRecord(true, true);
    enter(t, id, 10);
    leave(t, id, 30);
    std::vector<unsigned char> b = stream(false);
    std::vector<TableEntry> table = tableOf(b);
    std::string path = dir + "/load";
    writeFile(path, b);

    ProfilingSession loaded;
    ClassProfilingSession loadedClasses(&loaded);
    FakeVm loadedVm;
    CpuProfilingSession loadedCpu(&loaded, &loadedVm, CpuProfilingSession::Settings());
    HeapProfilingSession loadedHeap(&loaded, &loadedClasses);
    SnapshotSources into;
    into.session = &loaded;
    into.classes = &loadedClasses;
    into.cpu = &loadedCpu;
    into.heap = &loadedHeap;
    GzFileDataReader reader(path.c_str());
    int result = SnapshotReader::read(&reader, into, READ_CPU | READ_HEAP, nullptr);
    ASSERT_EQ(result, 36);
    ASSERT_EQ(loadedCpu.getThreadManagers().size(), 1u);
    ClassData *loadedApp = nullptr;
    for (ClassData *c : loadedClasses.getClasses())
        loadedApp = std::string(c->getClassName()) == "app.Loaded" ? c : loadedApp;
    MethodDesc *loadedWork = nullptr;
    for (MethodDesc *m : loadedClasses.getMethods())
        loadedWork = std::string(m->getMethodName()) == "work" ? m : loadedWork;
    ASSERT_NE(loadedApp, nullptr);
    ASSERT_NE(loadedWork, nullptr);

    CharVectorDataWriter w;
    SnapshotLoadData::writeLoadData(&w, result, &reader, into);
    std::vector<unsigned char> reply = bytesOf(w);
    ByteArrayDataReader in(reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(in.readU4(0), 36u);
    EXPECT_EQ(in.readByte(9), 0);
    EXPECT_EQ(in.readU4(0), 8u);
    std::map<const void *, const void *> pairs;
    while (in.readByte(0) == 1) {
        const void *old = in.readID(nullptr);
        pairs[old] = in.readID(nullptr);
    }
    EXPECT_EQ(pairs[app], loadedApp);
    EXPECT_EQ(pairs[work], loadedWork);
    EXPECT_EQ(pairs[t], loadedCpu.getThreadManagers()[0]);
    // The threads again, their new IDs as JLong.
    ASSERT_EQ(in.readByte(0), 1);
    EXPECT_EQ(in.readID(nullptr), static_cast<const void *>(t));
    EXPECT_EQ(in.readJLong(0), static_cast<long long>(reinterpret_cast<uintptr_t>(loadedCpu.getThreadManagers()[0])));
    EXPECT_EQ(in.readByte(9), 0);
    // The rest of the stream, from after the Java part's magic, in a private file.
    ASSERT_EQ(in.readByte(9), 0);
    char *jfd = in.readString(nullptr);
    ASSERT_NE(jfd, nullptr);
    std::string jfdPath = jfd;
    delete[] jfd;
    EXPECT_EQ(jfdPath.rfind(dir + "/jfd", 0), 0u) << jfdPath;
    struct stat st;
    ASSERT_EQ(stat(jfdPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(jfdPath), std::vector<unsigned char>(b.begin() + table[6].position + 4, b.end()));
    EXPECT_GT(in.available(), 0) << "the descriptions follow";

    // A failed read: its result and byte 1, then the descriptions.
    CharVectorDataWriter failed;
    SnapshotLoadData::writeLoadData(&failed, -1003, &reader, into);
    std::vector<unsigned char> failedReply = bytesOf(failed);
    ASSERT_GE(failedReply.size(), 5u);
    EXPECT_EQ(std::vector<unsigned char>(failedReply.begin(), failedReply.begin() + 5),
              (std::vector<unsigned char>{0xFF, 0xFF, 0xFC, 0x15, 1}));

    // No place for the file: byte 1 where the path would be, and the log.
    GzFileDataReader again(path.c_str());
    ProfilingSession other;
    ClassProfilingSession otherClasses(&other);
    SnapshotSources second;
    second.session = &other;
    second.classes = &otherClasses;
    ASSERT_EQ(SnapshotReader::read(&again, second, 0, nullptr), 36);
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    testing::internal::CaptureStderr();
    CharVectorDataWriter nowhere;
    SnapshotLoadData::writeLoadData(&nowhere, 36, &again, second);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("ERROR: Could not get temp file name. Please check your TMP and TMPDIR environment variables."), std::string::npos)
        << log;
    std::vector<unsigned char> noFile = bytesOf(nowhere);
    ByteArrayDataReader n(noFile.data(), static_cast<int>(noFile.size()));
    EXPECT_EQ(n.readU4(0), 36u);
    EXPECT_EQ(n.readByte(9), 0);
    EXPECT_EQ(n.readU4(0), 8u);
    while (n.readByte(0) == 1) {
        n.readID(nullptr);
        n.readID(nullptr);
    }
    EXPECT_EQ(n.readByte(9), 0) << "no threads";
    EXPECT_EQ(n.readByte(9), 1) << "no file";
}

TEST_F(SnapshotFileTest, SnapshotSessionAnswersCommandThirtyThreeWithItsReadResultAndFreesItsReader)
{
    LiveThreadManager *t = cpu.createThreadManager();
    t->ensureThreadDesc();
    std::string path = dir + "/served";
    writeFile(path, stream(false));

    SnapshotProfilingSession session;
    EXPECT_EQ(session.load(path.c_str(), READ_CPU | READ_HEAP | READ_TELEMETRY, nullptr), 36);
    EXPECT_EQ(session.getCpuSession().getThreadManagers().size(), 1u);
    // Command 33 belongs to a loaded session alone.
    const FrontendCommands::Row *row = FrontendCommands::find(33);
    ASSERT_NE(row, nullptr);
    CommandOwners owners;
    owners.session = &session;
    EXPECT_FALSE(FrontendCommands::isOwned(*row, owners));
    owners.loaded = &session;
    EXPECT_TRUE(FrontendCommands::isOwned(*row, owners));

    CharVectorDataWriter first;
    session.writeLoadData(&first);
    std::vector<unsigned char> reply = bytesOf(first);
    ASSERT_GT(reply.size(), 9u);
    EXPECT_EQ(std::vector<unsigned char>(reply.begin(), reply.begin() + 9), (std::vector<unsigned char>{0, 0, 0, 36, 0, 0, 0, 0, 8}));
    // The reader went with the first answer: the result stays, the IDs and the file do not.
    CharVectorDataWriter second;
    session.writeLoadData(&second);
    std::vector<unsigned char> again = bytesOf(second);
    ASSERT_GT(again.size(), 5u);
    EXPECT_EQ(std::vector<unsigned char>(again.begin(), again.begin() + 5), (std::vector<unsigned char>{0, 0, 0, 36, 1}));
}

TEST_F(SnapshotFileTest, SnapshotSessionThatCannotOpenOrListenSaysSoAndReturns)
{
    SnapshotProfilingSession missing;
    testing::internal::CaptureStderr();
    EXPECT_EQ(missing.load((dir + "/none").c_str(), READ_CPU, nullptr), -1003);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Error opening snapshot."), std::string::npos) << log;
    EXPECT_EQ(log.find("No Orvane snapshot"), std::string::npos) << "nothing was read: " << log;

    // A port nobody can listen on: nothing is served and the loader returns.
    std::string path = dir + "/served";
    writeFile(path, stream(false));
    for (int port : {0, -1, 70000}) {
        SCOPED_TRACE(port);
        SnapshotProfilingSession session;
        testing::internal::CaptureStderr();
        EXPECT_EQ(session.loadSnapshot(path.c_str(), port, READ_CPU, nullptr, nullptr), 1);
        log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("ERROR: Could not listen"), std::string::npos) << log;
        EXPECT_EQ(log.find("Waiting for a connection"), std::string::npos) << log;
        EXPECT_EQ(session.getReadResult(), 36);
    }
}

} // namespace
