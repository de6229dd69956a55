// The communicator's framing against a socket pair, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "Communicator.h"
#include "CpuProfilingSession.h"
#include "Crc32.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "FrontendProtocol.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "ProfilingTestSupport.h"
#include "SocketDataReader.h"
#include "SocketDataWriter.h"
#include "Transport.h"
#include "VmCommands.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The transport is one end of a socket pair; the test plays the front end on the other.
class PairTransport : public Transport {
public:
    explicit PairTransport(int fd) : in(fd), out(fd) {}
    bool connect() override { return true; }
    void disconnect() override {}
    bool acknowledges() const override { return true; }
    DataReader *reader() override { return &in; }
    DataWriter *writer() override { return &out; }

private:
    SocketDataReader in;
    SocketDataWriter out;
};

// A communicator over a socket pair, serving the commands of `owners`.
class PairCommunicator : private PairTransport, public Communicator {
public:
    PairCommunicator(const CommandOwners &owners, int fd) : PairTransport(fd), Communicator(*this, owners)
    {
        setBrokenRequestPause(0);
    }
    PairCommunicator(ProfilingSession *session, int fd) : PairCommunicator(CommandOwners{session}, fd) {}
};

Bytes u4(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes frame(uint32_t command, uint32_t id, const Bytes &payload, uint32_t s0, uint32_t s1, uint32_t s2, uint32_t crc)
{
    return u4(command) + u4(id) + u4(s0) + u4(s1) + u4(s2) + u4(crc) + payload;
}

Bytes frame(uint32_t command, uint32_t id, const Bytes &payload)
{
    uint32_t n = static_cast<uint32_t>(payload.size());
    return frame(command, id, payload, n, n, n, Crc32::of(payload.data(), payload.size()));
}

const Bytes END = {0xBC, 0xC0, 0x89, 0x30, 0x77, 0x71, 0x17, 0xFA};

// Reply header with the agent's clock (bytes 12..19) left out: VM start time -1, command, id.
Bytes header(uint32_t command, uint32_t id)
{
    return Bytes(8, 0xFF) + u4(command) + u4(id);
}

Bytes str(const char *s)
{
    size_t n = strlen(s);
    return Bytes{uint8_t(n >> 8), uint8_t(n)} + Bytes(s, s + n);
}

// An object ID: the pointer's bytes in host order.
Bytes id(const void *p)
{
    Bytes b(sizeof p);
    memcpy(b.data(), &p, sizeof p);
    return b;
}

Bytes resync()
{
    return Bytes(901, 0) + Bytes{1};
}

class CommunicatorTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        communicator = new PairCommunicator(&session, fds[0]);
    }
    void TearDown() override
    {
        delete communicator;
        close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    }

    void send(const Bytes &b) { ASSERT_EQ(write(fds[1], b.data(), b.size()), static_cast<ssize_t>(b.size())); }

    // Everything the communicator has sent so far, with the clock of each
    // reply header cut out (`headers` lists where headers begin).
    Bytes received(std::initializer_list<size_t> headers = {})
    {
        Bytes all(1 << 16);
        ssize_t n = recv(fds[1], all.data(), all.size(), MSG_DONTWAIT);
        all.resize(n > 0 ? static_cast<size_t>(n) : 0);
        size_t removed = 0;
        for (size_t at : headers) {
            size_t clock = at + 12 - removed;
            if (all.size() >= clock + 8)
                all.erase(all.begin() + clock, all.begin() + clock + 8);
            removed += 8;
        }
        return all;
    }

    ProfilingSession session;
    int fds[2] = {-1, -1};
    PairCommunicator *communicator = nullptr;
};

TEST_F(CommunicatorTest, IdWidthHasNoSizesAndAnswersWithAnIdOfOne)
{
    send(u4(2) + u4(5));
    communicator->processSingle();
    EXPECT_EQ(received({0}), (header(2, 5) + u4(8) + Bytes({1, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(communicator->isEnded());
}

TEST_F(CommunicatorTest, RequestsAreAcknowledgedAnsweredAndClosedByTheEndMarker)
{
    struct Case {
        const char *name;
        Bytes request;
        Bytes reply; // after the two acknowledgements; header clock removed
        bool finished;
    };
    const Case cases[] = {
        {"unknown command: empty body", frame(99, 3, {1, 2, 3}), header(99, 3) + END, false},
        {"two sizes out of three agree", frame(99, 4, {7}, 1, 5, 1, Crc32::of("\x07", 1)), header(99, 4) + END, false},
        {"stop serving", frame(23, 6, {}), header(23, 6) + END, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        send(c.request);
        communicator->processSingle();
        EXPECT_EQ(received({2}), Bytes({0, 0}) + c.reply);
        EXPECT_EQ(communicator->isFinished(), c.finished);
        EXPECT_FALSE(communicator->isEnded());
    }
}

TEST_F(CommunicatorTest, StateReplyOfTheBaseSession)
{
    send(frame(44, 9, {0}));
    communicator->processSingle();
    Bytes got = received({2});
    Bytes expectedStart = Bytes{0, 0} + header(44, 9) + u4(1) + Bytes{0, 0, 0} + Bytes{0, 0} + Bytes{0, 0};
    ASSERT_GE(got.size(), expectedStart.size() + END.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + expectedStart.size()), expectedStart);
    EXPECT_EQ(Bytes(got.end() - END.size(), got.end()), END);
}

TEST_F(CommunicatorTest, BrokenRequestsAreRefusedAndTheStreamRecovers)
{
    struct Case {
        const char *name;
        Bytes request;
        Bytes acks;
    };
    const Case cases[] = {
        {"three different sizes", frame(44, 1, {}, 1, 2, 3, 0), {1}},
        {"size above the limit", frame(44, 1, {}, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0), {1}},
        {"crc mismatch", frame(44, 1, {0}, 1, 1, 1, 0x12345678), {0, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        // Zero bytes inside the broken frame count towards the pattern too,
        // so the pattern alone must be enough, whatever precedes it.
        send(c.request + resync() + u4(2) + u4(8));
        communicator->processSingle();
        EXPECT_EQ(received(), c.acks) << "no reply to a broken request";
        communicator->processSingle();
        EXPECT_EQ(received({0}), (header(2, 8) + u4(8) + Bytes({1, 0, 0, 0, 0, 0, 0, 0})));
    }
}

// Recovery counts every zero byte since it began, whatever lies between them,
// and ends at a byte 1 read after more than 900 of them. The request is refused
// at its sizes, so recovery begins right after them and counts only the pattern.
TEST_F(CommunicatorTest, RecoveryEndsAtAOneAfterMoreThan900ZerosSinceItBegan)
{
    auto zeros = [](size_t n) { return Bytes(n, 0); };
    const struct {
        const char *name;
        Bytes pattern;
    } cases[] = {
        {"901 zeros in a row", zeros(901) + Bytes{1}},
        {"zeros with another byte between", zeros(450) + Bytes{7} + zeros(451) + Bytes{1}},
        {"a byte 1 after too few zeros", zeros(500) + Bytes{1} + zeros(401) + Bytes{1}},
        {"900 zeros are not enough", zeros(900) + Bytes{1, 0, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        send(u4(44) + u4(1) + u4(1) + u4(2) + u4(3) + c.pattern + u4(2) + u4(8));
        // A recovery that missed its end reads to the end of the stream instead of waiting.
        shutdown(fds[1], SHUT_WR);
        communicator->processSingle();
        EXPECT_EQ(received(), Bytes{1});
        communicator->processSingle();
        EXPECT_EQ(received({0}), (header(2, 8) + u4(8) + Bytes({1, 0, 0, 0, 0, 0, 0, 0})));
    }
}

// Sizes up to 64 MiB are taken; one byte more is refused before anything is read.
TEST_F(CommunicatorTest, PayloadsUpTo64MiBAreTaken)
{
    const struct {
        uint32_t size;
        Bytes ack;
    } cases[] = {{64u << 20, {0}}, {(64u << 20) + 1, {1}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        TearDown();
        SetUp();
        send(u4(99) + u4(1) + u4(c.size) + u4(c.size) + u4(c.size));
        shutdown(fds[1], SHUT_WR);
        communicator->processSingle();
        Bytes got = received();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 1), c.ack);
    }
}

// How a connection ends: a close request, the stream ending while the reader
// looks for the resync pattern (it ends instead of spinning), a payload cut
// short (sizes acknowledged, nothing run).
TEST_F(CommunicatorTest, CloseEndOfStreamAndCutPayloadsEndTheConnection)
{
    struct Case {
        const char *name;
        Bytes sent;
        bool shutWrite;
        const Bytes *acks; // null: whatever the broken frame earned
    };
    const Bytes none, sizesOnly{0};
    Bytes cutShort = frame(99, 1, Bytes(100, 7));
    cutShort.resize(cutShort.size() - 10);
    const Case cases[] = {
        {"close request", u4(0) + u4(1), false, &none},
        {"stream ending during recovery", frame(44, 1, {}, 1, 2, 3, 0) + Bytes(50, 0), true, nullptr},
        {"payload cut short", cutShort, true, &sizesOnly},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        send(c.sent);
        if (c.shutWrite)
            shutdown(fds[1], SHUT_WR);
        communicator->processSingle();
        EXPECT_TRUE(communicator->isEnded());
        communicator->process(); // an ended connection returns at once
        if (c.acks) {
            EXPECT_EQ(received(), *c.acks);
        }
    }
}

// A session with a class sub-session: every communicator answers 34 and 60.
class ClassesSession : public ProfilingSession {
public:
    ClassProfilingSession *getClassProfilingSession() override { return &classes; }
    ClassProfilingSession classes{this};
};

TEST_F(CommunicatorTest, ClassCommandsGoToTheClassSessionOfAnySession)
{
    ClassesSession withClasses;
    ClassData *c = new ClassData("p.A", &withClasses.classes);
    withClasses.classes.addClassData(c);
    MethodDesc *m = new MethodDesc(c, "run", -1, "()V", -1, &withClasses.classes, "p.A");
    withClasses.classes.addMethodDesc(m);
    PairCommunicator served(&withClasses, fds[0]);

    struct Case {
        const char *name;
        Bytes request;
        Bytes reply; // header clock removed
    };
    const Case cases[] = {
        {"view filters: no reply data", frame(34, 1, u4(1) + str("q.*")), header(34, 1) + END},
        {"the descriptions not sent yet", frame(60, 2, {}),
         header(60, 2) + Bytes{1} + id(m) + id(c) + str("run") + str("()V") + Bytes{0} + Bytes{1} + id(c) + str("p.A") + Bytes{0} +
             u4(0) + id(nullptr) + id(nullptr) + id(nullptr) + Bytes{0} + Bytes{0} + END},
        {"then nothing again", frame(60, 3, {}), header(60, 3) + Bytes{0, 0} + END},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        send(k.request);
        served.processSingle();
        EXPECT_EQ(received({2}), Bytes({0, 0}) + k.reply);
    }
    EXPECT_TRUE(c->getIsViewFiltered(true)) << "the view shows only q.*: p.A is hidden";

    // A session without classes answers with an empty body.
    send(frame(60, 4, {}));
    communicator->processSingle();
    EXPECT_EQ(received({2}), Bytes({0, 0}) + header(60, 4) + END);
}

// The VM edge as the test sees it: every call is noted, with the payload byte
// a handler read, and a handler that writes answers with one byte of its own.
class RecordingVm : public VmCommands {
public:
    std::vector<std::string> calls;

    void frontendSeen() override { calls.push_back("seen"); }
    void handleCmdSetParameters(DataReader *reader, DataWriter *writer, Communicator &connection) override
    {
        noteWithByte("set parameters", reader);
        writer->writeByte(0x01);
        connection.markConnected();
    }
    void handleCmdForceGc() override { calls.push_back("force gc"); }
    void handleCmdGetParameters(DataWriter *writer) override
    {
        calls.push_back("get parameters");
        writer->writeByte(0x45);
    }
    void handleCmdGetVmState(DataWriter *writer) override
    {
        calls.push_back("vm state");
        writer->writeByte(0x59);
    }
    void handleCmdThreadProfiling(DataReader *reader) override { noteWithByte("thread profiling", reader); }
    void handleCmdHprofDump(DataReader *reader, DataWriter *writer) override
    {
        noteWithByte("hprof dump", reader);
        writer->writeByte(0x63);
    }
    bool handleCmdHeapDump(DataReader *reader, DataWriter *writer) override
    {
        noteWithByte("heap dump file", reader);
        writer->writeU4(0);
        return false;
    }
    void handleCmdEnableTriggers(DataReader *reader) override { noteWithByte("triggers", reader); }
    void handleCmdSetRecordAlloc(DataReader *reader) override { noteWithByte("record allocations", reader); }
    void handleCmdSaveSnapshot(DataReader *reader, DataWriter *writer, Communicator &) override
    {
        noteWithByte("save snapshot", reader);
        writer->writeByte(0x32);
    }
    void handleCmdEnableTriggerGroups(DataReader *reader) override { noteWithByte("trigger groups", reader); }
    void handleCmdPrimitiveData(DataReader *reader, DataWriter *writer) override { inspect(68, reader, writer); }
    void handleCmdToString(DataReader *reader, DataWriter *writer) override { inspect(80, reader, writer); }
    void handleCmdEvalBooleanExpression(DataReader *reader, DataWriter *writer) override { inspect(82, reader, writer); }
    void handleCmdEvalToString(DataReader *reader, DataWriter *writer) override { inspect(83, reader, writer); }
    void handleCmdEvalPrimitive(DataReader *reader, DataWriter *writer) override { inspect(84, reader, writer); }
    void handleCmdStringScript(DataReader *reader, DataWriter *writer) override { inspect(88, reader, writer); }
    void handleCmdGetLoadInfo(DataWriter *writer, uint32_t communicatorStatus) override
    {
        calls.push_back("load info");
        writer->writeByte(static_cast<int>(communicatorStatus));
    }
    void setMonitorProfiling(bool on) override { calls.push_back(on ? "monitors on" : "monitors off"); }
    void handleCmdProbeDescriptions(DataWriter *) override { calls.push_back("probe 62"); }
    void handleCmdProbeTupleData(DataReader *, DataWriter *) override { calls.push_back("probe 85"); }
    void handleCmdProbeTelemetry(DataWriter *) override { calls.push_back("probe 86"); }
    void handleCmdProbeSettings(DataReader *) override { calls.push_back("probe 87"); }
    void handleCmdProbeRecording(DataReader *) override { calls.push_back("probe 90"); }
    void connectionEnded(const Communicator &) override { calls.push_back("ended"); }

private:
    // The handler of `command` ran: noted with the request's first byte, and
    // the command's number as the reply.
    void inspect(uint32_t command, DataReader *reader, DataWriter *writer)
    {
        noteWithByte(("inspect " + std::to_string(command)).c_str(), reader);
        writer->writeByte(static_cast<uint8_t>(command));
    }
    void noteWithByte(const char *what, DataReader *reader)
    {
        calls.push_back(std::string(what) + " " + std::to_string(reader->readByte(-1)));
    }
};

// A live-like communicator (session with classes, CPU session, VM edge) and
// one with the session alone, each on its own socket pair.
class CommandTableTest : public CommunicatorTest {
protected:
    void SetUp() override
    {
        CommunicatorTest::SetUp();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, liveFds), 0);
        live = new PairCommunicator(CommandOwners{&liveSession, &cpu, &vm}, liveFds[0]);
    }
    void TearDown() override
    {
        delete live;
        close(liveFds[0]);
        close(liveFds[1]);
        CommunicatorTest::TearDown();
    }

    void sendLive(const Bytes &b) { ASSERT_EQ(write(liveFds[1], b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    Bytes receivedLive(std::initializer_list<size_t> headers)
    {
        std::swap(fds[1], liveFds[1]);
        Bytes got = received(headers);
        std::swap(fds[1], liveFds[1]);
        return got;
    }

    ClassesSession liveSession;
    FakeVm fakeVm;
    CpuProfilingSession cpu{&liveSession, &fakeVm, CpuProfilingSession::Settings()};
    RecordingVm vm;
    int liveFds[2] = {-1, -1};
    PairCommunicator *live = nullptr;
};

// A request for `command` in the frame the front end uses for it.
Bytes request(uint32_t command, uint32_t id, const Bytes &payload)
{
    return frontendProtocol::hasPayloadFields(command) ? frame(command, id, payload) : u4(command) + u4(id);
}

TEST_F(CommandTableTest, EveryCommandIsFoundOnceAndFramedAsTheFrontEndSendsIt)
{
    for (const FrontendCommands::Row *row = FrontendCommands::begin(); row != FrontendCommands::end(); row++) {
        SCOPED_TRACE(row->command);
        EXPECT_EQ(FrontendCommands::find(row->command), row);
        bool payload = row->frame == FrontendCommands::Frame::PAYLOAD;
        EXPECT_EQ(payload, frontendProtocol::hasPayloadFields(row->command));
    }
    EXPECT_EQ(FrontendCommands::find(99), nullptr);
    EXPECT_EQ(FrontendCommands::frameOf(nullptr), FrontendCommands::Frame::PAYLOAD);
}

TEST_F(CommandTableTest, VmCommandsReachTheVmEdgeAndAreUnknownWithoutIt)
{
    struct Case {
        const char *name;
        uint32_t command;
        Bytes payload;
        const char *call;
        Bytes body;
    };
    const Case cases[] = {
        {"configuration", 1, {5}, "set parameters 5", {0x01}},
        {"garbage collection", 30, {}, "force gc", {}},
        {"configuration in force", 45, {}, "get parameters", {0x45}},
        {"VM state poll", 59, {}, "vm state", {0x59}},
        {"thread profiling", 61, {1}, "thread profiling 1", {}},
        {"heap dump", 63, {7}, "hprof dump 7", {0x63}},
        {"heap dump file that failed: U4 0 alone", 7, {1}, "heap dump file 1", {0, 0, 0, 0}},
        {"triggers", 66, {1}, "triggers 1", {}},
        {"trigger groups", 67, {0}, "trigger groups 0", {}},
        {"load info without payload: after command 1, connected", 76, {}, "load info", {1}},
        {"load info with payload", 77, {}, "load info", {1}},
        {"monitor recording off: the CPU session, then the VM", 73, {0}, "monitors off", {}},
        {"probe descriptions", 62, {}, "probe 62", {}},
        {"probe call sites", 85, {0, 4, 'f', 'i', 'l', 'e'}, "probe 85", {}},
        {"probe telemetry", 86, {}, "probe 86", {}},
        {"probe settings", 87, {0, 0, 0, 1, 9}, "probe 87", {}},
        {"probes to record", 90, {0, 0, 0, 0}, "probe 90", {}},
        {"allocation recording", 49, {1}, "record allocations 1", {}},
        {"snapshot", 32, {1}, "save snapshot 1", {0x32}},
        {"primitive values", 68, {3}, "inspect 68 3", {68}},
        {"toString", 80, {4}, "inspect 80 4", {80}},
        {"boolean expression", 82, {5}, "inspect 82 5", {82}},
        {"string expression", 83, {6}, "inspect 83 6", {83}},
        {"primitive expression", 84, {7}, "inspect 84 7", {84}},
        {"string script", 88, {8}, "inspect 88 8", {88}},
    };
    uint32_t id = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool payload = frontendProtocol::hasPayloadFields(c.command);
        Bytes acks = payload ? Bytes{0, 0} : Bytes{};
        Bytes end = payload ? END : Bytes{};
        vm.calls.clear();
        sendLive(request(c.command, id, c.payload));
        live->processSingle();
        EXPECT_EQ(receivedLive({acks.size()}), acks + header(c.command, id) + c.body + end);
        ASSERT_FALSE(vm.calls.empty());
        EXPECT_EQ(vm.calls.back(), c.call);

        send(request(c.command, id, c.payload));
        communicator->processSingle();
        EXPECT_EQ(received({acks.size()}), acks + header(c.command, id) + end) << "no VM edge: an empty body";
        id++;
    }
    EXPECT_EQ(live->getStatus(), Communicator::STATUS_CONNECTED);

    // Every VM command of the table is among the cases.
    for (const FrontendCommands::Row *row = FrontendCommands::begin(); row != FrontendCommands::end(); row++) {
        if (row->owner != FrontendCommands::Owner::VM)
            continue;
        bool covered = false;
        for (const Case &c : cases)
            covered = covered || c.command == row->command;
        EXPECT_TRUE(covered) << row->command;
    }
}

TEST_F(CommandTableTest, NumbersNobodyAnswersGetTheHeaderAndTheEndMarker)
{
    for (uint32_t command : {3u, 99u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(command);
        sendLive(frame(command, 7, {1, 2}));
        live->processSingle();
        EXPECT_EQ(receivedLive({2}), Bytes({0, 0}) + header(command, 7) + END);
        EXPECT_FALSE(live->isEnded());
    }
}

TEST_F(CommandTableTest, EveryCommandIsAnsweredInItsFrameAndOnlyByItsOwner)
{
    uint32_t id = 100;
    for (const FrontendCommands::Row *row = FrontendCommands::begin(); row != FrontendCommands::end(); row++) {
        SCOPED_TRACE(row->command);
        if (row->frame == FrontendCommands::Frame::CLOSE || row->owner == FrontendCommands::Owner::COMMUNICATOR)
            continue; // the connection's own commands: the tests above and below
        bool payload = row->frame == FrontendCommands::Frame::PAYLOAD;
        Bytes acks = payload ? Bytes{0, 0} : Bytes{};
        Bytes end = payload ? END : Bytes{};
        sendLive(request(row->command, id, {}));
        live->processSingle();
        Bytes reply = receivedLive({acks.size()});
        Bytes start = acks + header(row->command, id);
        ASSERT_GE(reply.size(), start.size() + end.size());
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<long>(start.size())), start);
        EXPECT_EQ(Bytes(reply.end() - static_cast<long>(end.size()), reply.end()), end);
        EXPECT_FALSE(live->isEnded());

        // The session alone owns only the state; without classes, not even them.
        send(request(row->command, id, {}));
        communicator->processSingle();
        Bytes bare = received({acks.size()});
        if (row->owner != FrontendCommands::Owner::SESSION) {
            EXPECT_EQ(bare, start + end);
        }
        id++;
    }
}

TEST_F(CommandTableTest, TheConnectionsOwnCommandsAndTheVmEdgeAcrossARun)
{
    // The ID width does not count as the front end at work; the first other request does, once.
    sendLive(u4(2) + u4(1) + frame(23, 2, {}) + frame(46, 3, {}) + frame(48, 4, {}));
    live->processSingle();
    EXPECT_TRUE(vm.calls.empty());
    live->run();
    EXPECT_EQ(vm.calls, (std::vector<std::string>{"seen", "ended"})) << "command 23 stops serving at once";
    EXPECT_TRUE(live->isFinished());
    EXPECT_FALSE(live->shouldExitProcess());
    EXPECT_EQ(live->getStatus(), Communicator::STATUS_CLEANED_UP);
    receivedLive({});

    struct Case {
        const char *name;
        uint32_t command;
        uint32_t id;
        bool exit;
        bool interrupt;
    };
    const Case cases[] = {{"exit", 46, 3, true, false}, {"interrupt", 48, 4, false, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PairCommunicator next(CommandOwners{&liveSession, &cpu, &vm}, liveFds[0]);
        vm.calls.clear();
        next.run();
        EXPECT_EQ(receivedLive({2}), Bytes({0, 0}) + header(c.command, c.id) + END);
        EXPECT_EQ(vm.calls, (std::vector<std::string>{"seen", "ended"}));
        EXPECT_EQ(next.shouldExitProcess(), c.exit);
        EXPECT_EQ(next.shouldInterruptProcess(), c.interrupt);
    }
}

} // namespace
