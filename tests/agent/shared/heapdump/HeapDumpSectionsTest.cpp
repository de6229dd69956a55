// Snapshot sections 2 (the items' backtrace tree) and 4 (the heap dump file):
// the bytes, and a whole snapshot stream read back.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "ByteArrayDataReader.h"
#include "FileDataWriter.h"
#include "GzFileDataReader.h"
#include "HeapDumpFile.h"
#include "HeapProfilingSession.h"
#include "ProfilingTestSupport.h"
#include "SnapshotReader.h"
#include "SnapshotWriter.h"

namespace {

class TypedSession : public ProfilingSession {
public:
    int getAllocTreeRecordingType() override { return 2; }
};

class HeapDumpSectionsTest : public testing::Test {
protected:
    HeapDumpSectionsTest() : cls("app/Thing", &classes), heap(&profiling, &classes)
    {
        dir = testing::TempDir() + "hdsections" + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        setenv("TMPDIR", dir.c_str(), 1);
        threadRoot = threadPool.getInstance(false);
        threadRoot->initialize(nullptr, nullptr, nullptr, 0);
        mainM = method("main");
        makeM = method("make");
        mainNode = threadRoot->addChild(mainM, 0, &threadPool);
        makeNode = mainNode->addChild(makeM, 7, &threadPool);
        heap.setChrono(false);
        heap.setAllocRecord(true, true);
    }
    ~HeapDumpSectionsTest() override
    {
        threadRoot->freeAll(&threadPool);
        unsetenv("TMPDIR");
        EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    MethodDesc *method(const char *name)
    {
        MethodDesc *m = new MethodDesc(&cls, name, -1, "()V", -1, &classes, cls.getClassName());
        classes.addMethodDesc(m);
        return m;
    }

    std::string dir;
    TypedSession profiling;
    ClassProfilingSession classes{&profiling};
    ClassData cls;
    HeapProfilingSession heap;
    InstancePool<CallStackTree> threadPool;
    CallStackTree *threadRoot;
    MethodDesc *mainM;
    MethodDesc *makeM;
    CallStackTree *mainNode;
    CallStackTree *makeNode;
};

TEST_F(HeapDumpSectionsTest, AllocationTreeSectionBytesAndReadBack)
{
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    CallStackTree *root = heap.getBacktraceRoot();
    CallStackTree *mainCopy = root->getFirstChild();
    ASSERT_NE(mainCopy, nullptr);
    CallStackTree *makeCopy = mainCopy->getFirstChild();
    ASSERT_NE(makeCopy, nullptr);
    SnapshotSources sources;
    sources.session = &profiling;
    sources.heap = &heap;
    CharVectorDataWriter w;
    writeAllocationTreeSection(&w, sources);
    // byte 1, ID 1, then each node: byte 1, children, byte 0, ID, method, line.
    Wire expected;
    expected.byte(1).id(reinterpret_cast<void *>(1));
    expected.byte(1).byte(1).byte(1).byte(0).id(makeCopy).id(makeM).u2(7);
    expected.byte(0).id(mainCopy).id(mainM).u2(0);
    expected.byte(0).id(root).id(nullptr).u2(0);
    std::vector<unsigned char> bytes = bytesOf(w);
    EXPECT_EQ(bytes, expected.b);

    HeapProfilingSession loaded(&profiling, &classes);
    ByteArrayDataReader reader(reinterpret_cast<char *>(bytes.data()), static_cast<int>(bytes.size()));
    // IDs of this process: no translation (the class section would map the methods).
    reader.enableIDUpdate(false, 8);
    SnapshotSources into;
    into.session = &profiling;
    into.heap = &loaded;
    ASSERT_TRUE(readAllocationTreeSection(&reader, 40, bytes.size(), into));
    reader.updateIDs();
    CallStackTree *readRoot = loaded.getBacktraceRoot();
    ASSERT_NE(readRoot->getFirstChild(), nullptr);
    EXPECT_EQ(readRoot->getFirstChild()->getMethod(), mainM);
    ASSERT_NE(readRoot->getFirstChild()->getFirstChild(), nullptr);
    EXPECT_EQ(readRoot->getFirstChild()->getFirstChild()->getMethod(), makeM);
    EXPECT_EQ(readRoot->getFirstChild()->getFirstChild()->getLineHint(), 7);
}

TEST_F(HeapDumpSectionsTest, CutSectionIsUnusable)
{
    heap.recordAllocation(makeNode, 24, 2, &cls, 0);
    SnapshotSources sources;
    sources.session = &profiling;
    sources.heap = &heap;
    CharVectorDataWriter w;
    writeAllocationTreeSection(&w, sources);
    std::vector<unsigned char> bytes = bytesOf(w);
    HeapProfilingSession loaded(&profiling, &classes);
    SnapshotSources into;
    into.session = &profiling;
    into.heap = &loaded;
    ByteArrayDataReader reader(reinterpret_cast<char *>(bytes.data()), static_cast<int>(bytes.size()) - 3);
    reader.enableIDUpdate(false, 8);
    EXPECT_FALSE(readAllocationTreeSection(&reader, 40, bytes.size() - 3, into));
}

TEST_F(HeapDumpSectionsTest, HeapDumpSectionCarriesTheDumpFileThroughASnapshot)
{
    HeapDumpFile dump(false);
    FileDataWriter *dw = dump.begin();
    ASSERT_NE(dw, nullptr);
    std::vector<unsigned char> content(HeapDumpFile::COPY_CHUNK + 100);
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<unsigned char>(i * 7);
    dw->writeBuffered(content.data(), static_cast<int>(content.size()));
    ASSERT_TRUE(dump.finish());

    SnapshotSources sources;
    sources.session = &profiling;
    sources.classes = &classes;
    sources.heap = &heap;
    sources.heapDump = &dump;
    std::string path = dir + "/stream";
    FILE *file = fopen(path.c_str(), "w+b");
    ASSERT_TRUE(SnapshotWriter::writeStream(file, path, sources, false, true));
    fclose(file);

    TypedSession loadedSession;
    ClassProfilingSession loadedClasses(&loadedSession);
    HeapProfilingSession loadedHeap(&loadedSession, &loadedClasses);
    SnapshotSources into;
    into.session = &loadedSession;
    into.classes = &loadedClasses;
    into.heap = &loadedHeap;
    std::string copy = dir + "/copy.jhd";
    GzFileDataReader reader(path.c_str());
    EXPECT_GT(SnapshotReader::read(&reader, into, READ_HEAP_DUMP | READ_HEAP, copy.c_str()), 0);
    std::ifstream in(copy, std::ios::binary);
    std::vector<unsigned char> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(back, content);
}

} // namespace
