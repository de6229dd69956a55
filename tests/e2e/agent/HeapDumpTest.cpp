// Heap dumps of real JVMs: a program builds a known graph, the front end
// takes dumps with command 7 by value and by path, and the dump reader finds
// the program's objects with their classes, references, values and roots.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "FrontendClient.h"
#include "HeapDumpFile.h"
#include "JvmProcess.h"
#include "WaitingJvm.h"
#include "Registry.h"
#include "WireReader.h"

using namespace jvmtest;

namespace {

const uint32_t FIRST_UNRECORDED = 1431655764u;

// Request bytes: sendPath, hprof, hprofFlag, option4, option5, option6, primitiveValues, dump.
std::vector<uint8_t> dumpRequest(bool sendPath, bool values, bool dump)
{
    return {static_cast<uint8_t>(sendPath), 0, 0, 0, 0, 0, static_cast<uint8_t>(values), static_cast<uint8_t>(dump)};
}

class HeapDumpE2ETest : public WaitingJvmTest {
protected:
    void startConnected(JvmProcess &jvm, FrontendClient &client)
    {
        startConfigured(jvm, client, PROBE_CLASSES, {"HeapDumpProgram"}, {0});
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

// The number of files in `dir` whose name begins with `prefix`.
int filesNamed(const std::string &dir, const std::string &prefix)
{
    int count = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).compare(0, prefix.size(), prefix) == 0)
                count++;
        closedir(d);
    }
    return count;
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
    FrontendClient client(60000);
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
    uint64_t markerClass = classNamed(registry, dump, "Marker");
    ASSERT_NE(markerClass, 0u);
    // The list and the Object[] with their references; a later dump, which
    // meets objects the earlier one tagged, must give the same.
    auto expectListAndPair = [&](const JhdDump &d) {
        std::vector<const JhdObject *> nodes = objectsOf(d, nodeClass);
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
        std::vector<const JhdObject *> markers = objectsOf(d, markerClass);
        ASSERT_EQ(markers.size(), 1u);
        bool pairFound = false;
        for (const JhdObject &o : d.objects) {
            if (o.type == 3 && o.length == 2 && o.entries.size() == 1 && o.entries[0].index == 1 &&
                o.entries[0].value == markers[0]->id)
                pairFound = true;
        }
        EXPECT_TRUE(pairFound);
    };
    expectListAndPair(dump);
    std::vector<const JhdObject *> markers = objectsOf(dump, markerClass);
    ASSERT_EQ(markers.size(), 1u);

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

    // The class dump of Prims: static data of every primitive type in
    // declaration order, then the id of the Marker held by its static field.
    const JhdClass *primsDump = nullptr;
    for (const JhdClass &c : dump.classes)
        if (c.classId == primsClass)
            primsDump = &c;
    ASSERT_NE(primsDump, nullptr);
    uint32_t m = markers[0]->id;
    std::vector<uint8_t> statics = {0x01,                                           // boolean true
                                    0xFD,                                           // byte -3
                                    0x00, 0x42,                                     // char 'B'
                                    0x12, 0x34,                                     // short
                                    0x00, 0x00, 0x00, 0x05,                         // int 5
                                    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, // long
                                    0x40, 0x00, 0x00, 0x00,                         // float 2.0
                                    0xBF, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // double -1.0
                                    static_cast<uint8_t>(m >> 24), static_cast<uint8_t>(m >> 16),
                                    static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m)};
    EXPECT_EQ(primsDump->staticData, statics);
    EXPECT_EQ(primsDump->size, 320u);
    EXPECT_NE(primsDump->loaderId, 0u);
    // Every class object met is written once: as a class dump or as an instance of java.lang.Class.
    std::set<uint32_t> classTags;
    for (const JhdClass &c : dump.classes)
        EXPECT_TRUE(classTags.insert(c.tag).second) << c.tag;
    for (const JhdObject &o : dump.objects)
        EXPECT_EQ(classTags.count(o.id), 0u) << o.id;

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
    expectListAndPair(second);
    // The object held only from the stack is met again, as a stack root, and
    // every class object is still written once.
    std::vector<const JhdObject *> stackOnlyAgain = objectsOf(second, stackClass);
    ASSERT_EQ(stackOnlyAgain.size(), 1u);
    bool stackRootAgain = false;
    for (const JhdRoot &r : second.roots)
        stackRootAgain = stackRootAgain || (r.kind == 54 && r.id == stackOnlyAgain[0]->id && r.method != 0);
    EXPECT_TRUE(stackRootAgain);
    std::set<uint32_t> classTagsAgain;
    for (const JhdClass &c : second.classes)
        EXPECT_TRUE(classTagsAgain.insert(c.tag).second) << c.tag;
    for (const JhdObject &o : second.objects)
        EXPECT_EQ(classTagsAgain.count(o.id), 0u) << o.id;

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
    // Without values the static data holds the references only.
    bool primsWithoutValues = false;
    for (const JhdClass &c : byPath.classes) {
        if (c.classId != primsClass)
            continue;
        primsWithoutValues = true;
        ASSERT_EQ(c.staticData.size(), 34u);
        EXPECT_EQ(std::vector<uint8_t>(c.staticData.begin(), c.staticData.begin() + 30), std::vector<uint8_t>(30, 0));
        // This dump numbered the objects anew: the Marker's id of this dump.
        std::vector<const JhdObject *> marker = objectsOf(byPath, markerClass);
        ASSERT_EQ(marker.size(), 1u);
        uint32_t id = marker[0]->id;
        EXPECT_EQ(std::vector<uint8_t>(c.staticData.begin() + 30, c.staticData.end()),
                  (std::vector<uint8_t>{static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16),
                                        static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}));
    }
    EXPECT_TRUE(primsWithoutValues);
    // The swap file of static data is gone once the dump is written.
    EXPECT_EQ(filesNamed(tmp, "ovr"), 0);

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

TEST_P(HeapDumpE2ETest, TheVmsOwnHprofDumpAndADumpTriggeredFromJava)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    const std::string magic("JAVA PROFILE 1.0.2");

    // hprof by value (live objects only): the VM's file with its CRC-32.
    Reply reply;
    std::vector<uint8_t> hprofRequest = {0, 1, 0, 1, 0, 0, 0, 1};
    ASSERT_EQ(client.call(7, hprofRequest, &reply), FrontendClient::OK) << client.lastError();
    WireReader in(reply.body);
    ASSERT_EQ(in.readU4(), 1u) << jvm.out();
    int64_t size = in.readJLong();
    ASSERT_GT(size, 1000);
    ASSERT_LE(static_cast<size_t>(size), in.remaining());
    std::vector<uint8_t> bytes = in.readBytes(static_cast<size_t>(size));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(magic.size())), magic);
    EXPECT_EQ(in.readU4(), static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size()))));
    EXPECT_TRUE(registry.readMethods(in, client.idWidth()));
    EXPECT_TRUE(registry.readClasses(in, client.idWidth()));
    // The program's class names are in it.
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("HeapDumpProgram$DumpNode"), std::string::npos);

    // hprof by path: a private file of its own.
    std::vector<uint8_t> byPath = {1, 1, 0, 0, 0, 0, 0, 1};
    ASSERT_EQ(client.call(7, byPath, &reply), FrontendClient::OK) << client.lastError();
    WireReader pathReply(reply.body);
    ASSERT_EQ(pathReply.readU4(), 2u);
    std::string path = pathReply.readString();
    EXPECT_TRUE(registry.readMethods(pathReply, client.idWidth()));
    EXPECT_TRUE(registry.readClasses(pathReply, client.idWidth()));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(path.compare(0, tmp.size() + 4, tmp + "/jhd"), 0) << path;
    std::ifstream file(path, std::ios::binary);
    std::string head(magic.size(), '\0');
    file.read(&head[0], static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head, magic);

    // A dump triggered from Java is the one that dump 0 sends.
    ASSERT_TRUE(jvm.writeInput("trigger\n"));
    ASSERT_TRUE(jvm.waitFor("triggered", true, 60)) << jvm.err() << jvm.out();
    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(dumpByValue(client, registry, false), client.idWidth(), &dump, &error)) << error;
    EXPECT_TRUE(dump.primitiveValues);
    EXPECT_EQ(objectsOf(dump, classNamed(registry, dump, "DumpNode")).size(), 25u);
    // The VM's file went when the new dump came.
    EXPECT_NE(access(path.c_str(), F_OK), 0) << path;

    ASSERT_TRUE(jvm.writeInput("quit\n"));
    EXPECT_TRUE(jvm.waitFor("done true", true, 30)) << jvm.err() << jvm.out();
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// The "new heap dump" byte of the VM state poll (command 59): set once after
// each dump, whether the front end or the Java side asked for it, and not by
// resending the dump there is.
TEST_P(HeapDumpE2ETest, VmStatePollReportsEachNewDumpOnce)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    // Status U4, then the switches and change flags; the heap dump's is the ninth.
    const size_t newDumpAt = 4 + 8;
    auto newDump = [&]() {
        Reply reply;
        EXPECT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_GT(reply.body.size(), newDumpAt);
        return reply.body.size() > newDumpAt ? static_cast<int>(reply.body[newDumpAt]) : -1;
    };
    EXPECT_EQ(newDump(), 0) << "no dump yet";
    ASSERT_FALSE(dumpByValue(client, registry, true).empty());
    EXPECT_EQ(newDump(), 1);
    EXPECT_EQ(newDump(), 0) << "the poll clears it";
    ASSERT_FALSE(dumpByValue(client, registry, false).empty());
    EXPECT_EQ(newDump(), 0) << "sending the same dump again makes none";

    ASSERT_TRUE(jvm.writeInput("trigger\n"));
    ASSERT_TRUE(jvm.waitFor("triggered", true, 60)) << jvm.err() << jvm.out();
    EXPECT_EQ(newDump(), 1) << "a dump triggered from Java";
    EXPECT_EQ(newDump(), 0);

    ASSERT_TRUE(jvm.writeInput("quit\n"));
    EXPECT_TRUE(jvm.waitFor("done true", true, 30)) << jvm.err() << jvm.out();
    Reply reply;
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// Command 68 for `id`, `kind` and `classId`: checks the echo and returns the rest.
std::vector<uint8_t> primitiveData(FrontendClient &client, uint32_t id, uint32_t kind, uint64_t classId)
{
    std::vector<uint8_t> request = {static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16),
                                    static_cast<uint8_t>(id >> 8),  static_cast<uint8_t>(id),
                                    static_cast<uint8_t>(kind >> 24), static_cast<uint8_t>(kind >> 16),
                                    static_cast<uint8_t>(kind >> 8),  static_cast<uint8_t>(kind)};
    for (unsigned i = 0; i < client.idWidth(); i++)
        request.push_back(static_cast<uint8_t>(classId >> (8 * i)));
    Reply reply;
    EXPECT_EQ(client.call(68, request, &reply), FrontendClient::OK) << client.lastError();
    size_t echo = 8 + client.idWidth();
    if (reply.body.size() < echo || !std::equal(request.begin(), request.end(), reply.body.begin())) {
        ADD_FAILURE() << "no echo of the request";
        return {};
    }
    return std::vector<uint8_t>(reply.body.begin() + static_cast<long>(echo), reply.body.end());
}

TEST_P(HeapDumpE2ETest, PrimitiveValuesOfLiveObjectsByTheirDumpIds)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(dumpByValue(client, registry, true), client.idWidth(), &dump, &error)) << error;
    uint64_t primsClass = classNamed(registry, dump, "Prims");
    uint64_t markerClass = classNamed(registry, dump, "Marker");
    uint64_t droppableClass = classNamed(registry, dump, "Droppable");
    ASSERT_NE(primsClass, 0u);
    ASSERT_NE(markerClass, 0u);
    ASSERT_NE(droppableClass, 0u);
    uint32_t prims = objectsOf(dump, primsClass).at(0)->id;
    uint32_t droppable = objectsOf(dump, droppableClass).at(0)->id;
    uint32_t numbers = 0;
    for (const JhdObject &o : dump.objects)
        if (o.type == 8 && o.hasValues && o.valueCount == 10000 && o.values[9999] == 9999)
            numbers = o.id;
    ASSERT_NE(numbers, 0u);

    // Instance fields in declaration order: boolean, byte, char, short, int, long, 1.0f, 1.0d.
    EXPECT_EQ(primitiveData(client, prims, 2, primsClass),
              (std::vector<uint8_t>{1, 0x01, 0x07, 0x00, 0x41, 0xFF, 0xFE, 0x01, 0x02, 0x03, 0x04, 0x01, 0x02, 0x03,
                                    0x04, 0x05, 0x06, 0x07, 0x08, 0x3F, 0x80, 0x00, 0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    // Static fields of the class (the reference writes nothing).
    EXPECT_EQ(primitiveData(client, 0, 1, primsClass),
              (std::vector<uint8_t>{1, 0x01, 0xFD, 0x00, 0x42, 0x12, 0x34, 0, 0, 0, 5, 0x11, 0x12, 0x13, 0x14, 0x15,
                                    0x16, 0x17, 0x18, 0x40, 0, 0, 0, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
    // int[20000]: its length and the first 10,000 values.
    std::vector<uint8_t> array = primitiveData(client, numbers, 8, 0);
    ASSERT_EQ(array.size(), 1u + 4 + 4 * 10000);
    EXPECT_EQ(std::vector<uint8_t>(array.begin(), array.begin() + 5), (std::vector<uint8_t>{1, 0, 0, 0x4E, 0x20}));
    EXPECT_EQ(std::vector<uint8_t>(array.end() - 4, array.end()), (std::vector<uint8_t>{0, 0, 0x27, 0x0F}));

    // Forged or mismatched requests: not found, and the VM goes on.
    const struct {
        const char *what;
        uint32_t id;
        uint32_t kind;
        uint64_t classId;
    } refused[] = {
        {"an id no dump gave", 1431655764u + 5000000u, 2, primsClass},
        {"a tag of the recorded range that names nothing", 12345, 2, primsClass},
        {"a forged class", prims, 2, 0xDEADBEEF},
        {"a forged class for statics", 0, 1, 0x12345678},
        {"the fields of another class", prims, 2, markerClass},
        {"an int array read as bytes", numbers, 5, 0},
        {"an instance read as an array", prims, 8, 0},
        {"an unknown kind", prims, 40, 0},
    };
    for (const auto &r : refused)
        EXPECT_EQ(primitiveData(client, r.id, r.kind, r.classId), (std::vector<uint8_t>{0})) << r.what;

    // A collected object gives no record.
    EXPECT_EQ(primitiveData(client, droppable, 2, droppableClass), (std::vector<uint8_t>{1}));
    ASSERT_TRUE(jvm.writeInput("drop\n"));
    ASSERT_TRUE(jvm.waitFor("dropped", true, 30)) << jvm.err() << jvm.out();
    EXPECT_EQ(primitiveData(client, droppable, 2, droppableClass), (std::vector<uint8_t>{0}));

    ASSERT_TRUE(jvm.writeInput("quit\n"));
    EXPECT_TRUE(jvm.waitFor("done true", true, 30)) << jvm.err() << jvm.out();
    Reply reply;
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

// Request bytes of the evaluation commands.
struct Request {
    std::vector<uint8_t> bytes;
    unsigned idWidth;

    Request &byte(uint8_t v)
    {
        bytes.push_back(v);
        return *this;
    }
    Request &u4(uint32_t v)
    {
        for (int i = 3; i >= 0; i--)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Request &jlong(uint64_t v)
    {
        for (int i = 7; i >= 0; i--)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Request &id(uint64_t v)
    {
        for (unsigned i = 0; i < idWidth; i++)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Request &string(const std::string &s)
    {
        bytes.push_back(static_cast<uint8_t>(s.size() >> 8));
        bytes.push_back(static_cast<uint8_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    // Object selectors: a dump id, or a class's own class object.
    Request &object(uint32_t dumpId) { return byte(0).u4(dumpId); }
    Request &classObject(uint64_t classId) { return byte(1).id(classId); }
    // One script class from a compiled class file, then the end of the list.
    Request &script(const std::string &name)
    {
        std::ifstream in(std::string(SCRIPT_CLASSES) + "/" + name + ".class", std::ios::binary);
        std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_FALSE(b.empty()) << name;
        byte(1).string(name).u4(static_cast<uint32_t>(b.size()));
        bytes.insert(bytes.end(), b.begin(), b.end());
        return byte(0);
    }
};

// Records byte 1, JLong return id (and a string when `withText`) until a byte 0.
std::map<uint64_t, std::string> readReported(WireReader &in, bool withText)
{
    std::map<uint64_t, std::string> out;
    while (!in.error() && in.readByte() == 1) {
        uint64_t id = in.readJLong();
        std::string text = withText ? in.readString() : std::string();
        EXPECT_EQ(out.count(id), 0u) << "reported twice: " << id;
        out[id] = text;
    }
    return out;
}

// The exception part of a reply end: empty for byte 0.
std::string readException(WireReader &in)
{
    return in.readByte() == 1 ? in.readString() : std::string();
}

// The id of the list node whose index field (own field 1) holds `index`.
uint32_t nodeWithIndex(const JhdDump &dump, uint64_t nodeClass, uint64_t index)
{
    for (const JhdObject *o : objectsOf(dump, nodeClass))
        for (const JhdEntry &e : o->entries)
            if (e.tag == 4 && e.index == 1 && e.value == index)
                return o->id;
    return 0;
}

TEST_P(HeapDumpE2ETest, EvaluationsOfLiveObjects)
{
    JvmProcess jvm(work.path, "jvm");
    FrontendClient client(60000);
    Registry registry;
    ASSERT_NO_FATAL_FAILURE(startConnected(jvm, client));
    unsigned w = client.idWidth();
    JhdDump dump;
    std::string error;
    ASSERT_TRUE(parseHeapDump(dumpByValue(client, registry, true), w, &dump, &error)) << error;
    uint64_t nodeClass = classNamed(registry, dump, "DumpNode");
    uint64_t primsClass = classNamed(registry, dump, "Prims");
    uint64_t markerClass = classNamed(registry, dump, "Marker");
    ASSERT_NE(nodeClass, 0u);
    ASSERT_NE(primsClass, 0u);
    ASSERT_NE(markerClass, 0u);
    uint32_t node0 = nodeWithIndex(dump, nodeClass, 0);
    uint32_t node1 = nodeWithIndex(dump, nodeClass, 1);
    uint32_t prims = objectsOf(dump, primsClass).at(0)->id;
    uint32_t marker = objectsOf(dump, markerClass).at(0)->id;
    ASSERT_NE(node0, 0u);
    ASSERT_NE(node1, 0u);
    const uint32_t forged = FIRST_UNRECORDED + 9999999u;
    Reply reply;

    // toString: the node named under two return ids (and twice under one) is
    // evaluated once; a forged id names nothing; a class selector names the class object.
    Request toString{{}, w};
    toString.u4(3).jlong(100).u4(1).object(node0);
    toString.jlong(200).u4(2).object(node0).object(forged);
    toString.jlong(300).u4(1).classObject(primsClass);
    ASSERT_EQ(client.call(80, toString.bytes, &reply), FrontendClient::OK) << client.lastError();
    WireReader in80(reply.body);
    std::map<uint64_t, std::string> texts = readReported(in80, true);
    EXPECT_EQ(texts, (std::map<uint64_t, std::string>{
                         {100, "node 0 call 1"}, {200, "node 0 call 1"}, {300, "class HeapDumpProgram$Prims"}}));
    EXPECT_EQ(in80.remaining(), 0u);

    // A boolean script: the nodes are found, the Prims object is not.
    Request filter{{}, w};
    filter.u4(3).jlong(1).u4(1).object(node0).jlong(2).u4(1).object(node1).jlong(3).u4(1).object(prims);
    filter.script("NodeFilter");
    ASSERT_EQ(client.call(82, filter.bytes, &reply), FrontendClient::OK) << client.lastError();
    WireReader in82(reply.body);
    EXPECT_EQ(readReported(in82, false), (std::map<uint64_t, std::string>{{1, ""}, {2, ""}}));
    EXPECT_EQ(readException(in82), "");
    EXPECT_EQ(in82.remaining(), 0u);

    // The first evaluation that raised an exception ends the run and is sent.
    Request failing{{}, w};
    failing.u4(1).jlong(9).u4(1).object(marker);
    failing.script("NodeFilter");
    ASSERT_EQ(client.call(82, failing.bytes, &reply), FrontendClient::OK) << client.lastError();
    WireReader failed(reply.body);
    EXPECT_TRUE(readReported(failed, false).empty());
    EXPECT_EQ(readException(failed), "java.lang.IllegalStateException: markers are refused");

    // Text expressions: mode 2 is "starts with".
    Request startsWith{{}, w};
    startsWith.u4(2).jlong(5).u4(1).object(node1).jlong(6).u4(1).object(node0);
    startsWith.string("node 1 ").u4(2).byte(0);
    ASSERT_EQ(client.call(83, startsWith.bytes, &reply), FrontendClient::OK) << client.lastError();
    WireReader in83(reply.body);
    EXPECT_EQ(readReported(in83, false), (std::map<uint64_t, std::string>{{5, ""}}));
    EXPECT_EQ(in83.readByte(), 0u);

    // Field values: Prims.i == 0x01020304 and Prims.b == 7; the node has no such field.
    const struct {
        uint32_t type;
        const char *op;
        const char *value;
        const char *field;
        std::map<uint64_t, std::string> found;
    } compares[] = {
        {10, "==", "16909060", "i", {{7, ""}}},
        {10, ">", "16909060", "i", {}},
        {8, "==", "7", "b", {{7, ""}}},
        {11, "<", "0", "j", {}},
        {7, "==", "1.0", "d", {{7, ""}}},
        {10, "==", "7", "b", {}}, // a byte field read as an int is not found
    };
    for (const auto &c : compares) {
        SCOPED_TRACE(c.field);
        Request primitive{{}, w};
        primitive.u4(2).jlong(7).u4(1).object(prims).jlong(8).u4(1).object(node0);
        primitive.u4(c.type).string(c.op).string(c.value).u4(0).id(primsClass).string(c.field);
        ASSERT_EQ(client.call(84, primitive.bytes, &reply), FrontendClient::OK) << client.lastError();
        WireReader in84(reply.body);
        EXPECT_EQ(readReported(in84, false), c.found);
        EXPECT_EQ(in84.readByte(), 0u);
    }
    // A forged class selects nothing.
    Request forgedClass{{}, w};
    forgedClass.u4(1).jlong(7).u4(1).object(prims).u4(10).string("==").string("16909060").u4(0).id(0xBAD0BAD0).string("i");
    ASSERT_EQ(client.call(84, forgedClass.bytes, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0}));

    // String scripts report under the selector's position.
    Request describe{{}, w};
    describe.u4(3).object(node0).object(forged).classObject(primsClass);
    describe.script("DescribeScript");
    ASSERT_EQ(client.call(88, describe.bytes, &reply), FrontendClient::OK) << client.lastError();
    WireReader in88(reply.body);
    std::map<uint32_t, std::string> described;
    while (!in88.error() && in88.readByte() == 1) {
        uint32_t position = in88.readU4();
        described[position] = in88.readString();
    }
    EXPECT_EQ(described, (std::map<uint32_t, std::string>{{0, "script saw DumpNode"}, {2, "script saw Class"}}));
    EXPECT_EQ(readException(in88), "");
    Request describeMarker{{}, w};
    describeMarker.u4(1).object(marker).script("DescribeScript");
    ASSERT_EQ(client.call(88, describeMarker.bytes, &reply), FrontendClient::OK) << client.lastError();
    WireReader markerReply(reply.body);
    EXPECT_EQ(markerReply.readByte(), 0u);
    EXPECT_EQ(readException(markerReply), "java.lang.IllegalStateException: no text for markers");
    Request none{{}, w};
    none.u4(0).byte(0);
    ASSERT_EQ(client.call(88, none.bytes, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0}));

    // A request cut short is answered and the VM goes on.
    ASSERT_EQ(client.call(80, {0, 0, 0, 5, 1}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0}));
    ASSERT_TRUE(jvm.writeInput("quit\n"));
    EXPECT_TRUE(jvm.waitFor("done true", true, 30)) << jvm.err() << jvm.out();
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, HeapDumpE2ETest, testing::ValuesIn(JDK_HOMES));

} // namespace
