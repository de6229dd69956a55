// Heap dumps of real JVMs: a program builds a known graph, the front end
// takes dumps with command 7 by value and by path, and the dump reader finds
// the program's objects with their classes, references, values and roots.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <set>

#include "FrontendClient.h"
#include "HeapDumpFile.h"
#include "JvmProcess.h"
#include "Registry.h"
#include "WireReader.h"

using namespace jvmtest;

namespace {

const char *const JDKS[] = {"/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64"};
const uint32_t FIRST_UNRECORDED = 1431655764u;

// Request bytes: sendPath, hprof, hprofFlag, option4, option5, option6, primitiveValues, dump.
std::vector<uint8_t> dumpRequest(bool sendPath, bool values, bool dump)
{
    return {static_cast<uint8_t>(sendPath), 0, 0, 0, 0, 0, static_cast<uint8_t>(values), static_cast<uint8_t>(dump)};
}

class HeapDumpE2ETest : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        jdk = GetParam();
        if (!fileExists(jdk + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << jdk;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    void startConnected(JvmProcess &jvm, FrontendClient &client)
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) +
                                          ",address=127.0.0.1",
                                      "-cp", PROBE_CLASSES, "HeapDumpProgram"};
        ASSERT_TRUE(jvm.start(c, tmp, tmp, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        ASSERT_EQ(client.call(1, {0}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(jvm.waitFor("ready", true, 30)) << jvm.err() << jvm.out();
    }

    // Takes a dump by value: checks the framing and the CRC, reads the
    // descriptions that follow into `registry` and returns the file's bytes.
    std::vector<uint8_t> dumpByValue(FrontendClient &client, Registry &registry, bool dump)
    {
        Reply reply;
        EXPECT_EQ(client.call(7, dumpRequest(false, true, dump), &reply), FrontendClient::OK) << client.lastError();
        WireReader in(reply.body);
        EXPECT_EQ(in.readU4(), 1u);
        int64_t size = in.readJLong();
        if (size <= 0 || static_cast<size_t>(size) > in.remaining())
            return {};
        std::vector<uint8_t> bytes = in.readBytes(static_cast<size_t>(size));
        uint32_t crc = in.readU4();
        EXPECT_EQ(crc, static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size()))));
        EXPECT_TRUE(registry.readMethods(in, client.idWidth()));
        EXPECT_TRUE(registry.readClasses(in, client.idWidth()));
        in.readJLong();
        EXPECT_EQ(in.readU4(), 0u);
        EXPECT_FALSE(in.error());
        return bytes;
    }

    std::string jdk;
    WorkDir work;
    std::string tmp;
    PortReservation reservation; // held for the whole test
    int port = 0;
};

uint64_t classNamed(const Registry &registry, const JhdDump &dump, const std::string &suffix)
{
    for (const JhdObject &o : dump.objects) {
        const ClassInfo *c = registry.classOf(o.classId);
        if (c != nullptr && c->name.size() >= suffix.size() &&
            c->name.compare(c->name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return o.classId;
    }
    return 0;
}

std::vector<const JhdObject *> objectsOf(const JhdDump &dump, uint64_t classId)
{
    std::vector<const JhdObject *> found;
    for (const JhdObject &o : dump.objects)
        if (o.classId == classId)
            found.push_back(&o);
    return found;
}

TEST_P(HeapDumpE2ETest, DumpHoldsTheProgramsGraphValuesAndRoots)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client;
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    unsigned w = client.idWidth();
    std::vector<uint8_t> bytes = dumpByValue(client, registry, true);
    ASSERT_GT(bytes.size(), 13u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 4}));
    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(bytes, w, &dump, &error)) << error;
    EXPECT_TRUE(dump.primitiveValues);

    // Nothing was recorded: every object is unknown-node and numbered from the first unrecorded id.
    uint32_t lowest = UINT32_MAX;
    for (const JhdObject &o : dump.objects) {
        EXPECT_EQ(o.node, 1u);
        lowest = std::min(lowest, o.id);
    }
    EXPECT_EQ(lowest, FIRST_UNRECORDED);

    // The list: 25 nodes, 24 of them with "next" (own field 0) set.
    uint64_t nodeClass = classNamed(registry, dump, "DumpNode");
    ASSERT_NE(nodeClass, 0u);
    std::vector<const JhdObject *> nodes = objectsOf(dump, nodeClass);
    EXPECT_EQ(nodes.size(), 25u);
    int withNext = 0;
    for (const JhdObject *n : nodes) {
        EXPECT_EQ(n->type, 2);
        EXPECT_GT(n->size, 0u);
        for (const JhdEntry &e : n->entries)
            if (e.tag == 4 && e.index == 0)
                withNext++;
    }
    EXPECT_EQ(withNext, 24);

    // Object[] {null, x}: one element entry, index 1, naming the Marker.
    uint64_t markerClass = classNamed(registry, dump, "Marker");
    ASSERT_NE(markerClass, 0u);
    std::vector<const JhdObject *> markers = objectsOf(dump, markerClass);
    ASSERT_EQ(markers.size(), 1u);
    bool pairFound = false;
    for (const JhdObject &o : dump.objects) {
        if (o.type == 3 && o.length == 2 && o.entries.size() == 1 && o.entries[0].index == 1 &&
            o.entries[0].value == markers[0]->id)
            pairFound = true;
    }
    EXPECT_TRUE(pairFound);

    // int[20000]: the first 10,000 values.
    bool numbersFound = false;
    for (const JhdObject &o : dump.objects) {
        if (o.type == 8 && o.hasValues && o.valueCount == 10000 && o.values[9999] == 9999 && o.values[1] == 1)
            numbersFound = true;
    }
    EXPECT_TRUE(numbersFound);

    // Primitive fields: 1.0f and 1.0d by their bits, the long and the char.
    uint64_t primsClass = classNamed(registry, dump, "Prims");
    ASSERT_NE(primsClass, 0u);
    std::vector<const JhdObject *> prims = objectsOf(dump, primsClass);
    ASSERT_EQ(prims.size(), 1u);
    std::multiset<std::pair<int, uint64_t>> values;
    for (const JhdEntry &e : prims[0]->entries)
        values.insert({e.tag, e.value});
    EXPECT_EQ(values.count({4, 0x3F800000u}), 1u);
    EXPECT_EQ(values.count({8, 0x3FF0000000000000ull}), 1u);
    EXPECT_EQ(values.count({8, 0x0102030405060708ull}), 1u);
    EXPECT_EQ(values.count({4, 0x01020304u}), 1u);
    EXPECT_EQ(values.count({2, 0x41u}), 1u);
    EXPECT_EQ(values.count({2, 0xFFFEu}), 1u);
    EXPECT_EQ(values.count({1, 7u}), 1u);
    EXPECT_EQ(values.count({1, 1u}), 1u);
    // Own fields are numbered 0..7 in declaration order.
    std::set<uint32_t> indices;
    for (const JhdEntry &e : prims[0]->entries)
        indices.insert(e.index);
    EXPECT_EQ(indices, (std::set<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));

    // A subclass's own field comes first, then the superclass's.
    uint64_t derivedClass = classNamed(registry, dump, "Derived");
    ASSERT_NE(derivedClass, 0u);
    std::vector<const JhdObject *> derived = objectsOf(dump, derivedClass);
    ASSERT_EQ(derived.size(), 1u);
    std::set<std::pair<uint32_t, uint64_t>> derivedFields;
    for (const JhdEntry &e : derived[0]->entries)
        derivedFields.insert({e.index, e.value});
    EXPECT_EQ(derivedFields, (std::set<std::pair<uint32_t, uint64_t>>{{0, 22}, {1, 11}}));

    // The object held only from main's stack is a stack root with a method.
    uint64_t stackClass = classNamed(registry, dump, "StackOnly");
    ASSERT_NE(stackClass, 0u);
    std::vector<const JhdObject *> stackOnly = objectsOf(dump, stackClass);
    ASSERT_EQ(stackOnly.size(), 1u);
    const JhdRoot *stackRoot = nullptr;
    for (const JhdRoot &r : dump.roots)
        if (r.kind == 54 && r.id == stackOnly[0]->id && r.method != 0)
            stackRoot = &r;
    ASSERT_NE(stackRoot, nullptr);
    // The method table names it: main of the program.
    const MethodInfo *rootMethod = nullptr;
    for (const auto &m : dump.methods)
        if (m.first == stackRoot->method)
            rootMethod = registry.method(m.second);
    ASSERT_NE(rootMethod, nullptr);
    EXPECT_EQ(rootMethod->name, "main");
    bool systemClassRoot = false;
    for (const JhdRoot &r : dump.roots)
        systemClassRoot = systemClassRoot || r.kind == 56;
    EXPECT_TRUE(systemClassRoot);

    // dump 0 sends the same file again; a new dump numbers the objects anew.
    Registry again;
    EXPECT_EQ(dumpByValue(client, again, false), bytes);
    JhdDump second;
    ASSERT_TRUE(parseHeapDump(dumpByValue(client, again, true), w, &second, &error)) << error;
    uint32_t lowestAgain = UINT32_MAX;
    for (const JhdObject &o : second.objects)
        lowestAgain = std::min(lowestAgain, o.id);
    EXPECT_EQ(lowestAgain, FIRST_UNRECORDED);
    EXPECT_EQ(objectsOf(second, nodeClass).size(), 25u);

    // By path: the file stays private to the agent's user.
    Reply reply;
    ASSERT_EQ(client.call(7, dumpRequest(true, false, true), &reply), FrontendClient::OK) << client.lastError();
    WireReader in(reply.body);
    EXPECT_EQ(in.readU4(), 2u);
    std::string path = in.readString();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    JhdDump byPath;
    ASSERT_TRUE(readHeapDumpFile(path, w, &byPath, &error)) << error;
    EXPECT_FALSE(byPath.primitiveValues);
    EXPECT_EQ(objectsOf(byPath, nodeClass).size(), 25u);

    // A short request is refused with U4 0 and the VM goes on.
    ASSERT_EQ(client.call(7, {1, 0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 0}));
    ASSERT_TRUE(jvm.writeInput("quit\n"));
    EXPECT_TRUE(jvm.waitFor("done true", true, 30)) << jvm.err() << jvm.out();
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    // The last dump went with the VM.
    EXPECT_NE(access(path.c_str(), F_OK), 0) << path;
}

INSTANTIATE_TEST_SUITE_P(Jdks, HeapDumpE2ETest, testing::ValuesIn(JDKS));

} // namespace
