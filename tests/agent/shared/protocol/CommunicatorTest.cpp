// The communicator's framing against a socket pair, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "Communicator.h"
#include "Crc32.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "SocketDataReader.h"
#include "SocketDataWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The transport is one end of a socket pair; the test plays the front end on the other.
class PairCommunicator : public Communicator {
public:
    PairCommunicator(ProfilingSession *session, int fd) : Communicator(session)
    {
        setStreams(new SocketDataReader(fd), new SocketDataWriter(fd));
        setBrokenRequestPause(0);
    }

protected:
    bool establishConnection() override { return true; }
    void cleanupConnection() override {}
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
    ASSERT_TRUE(communicator->processSingle());
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
        ASSERT_TRUE(communicator->processSingle());
        EXPECT_EQ(received({2}), Bytes({0, 0}) + c.reply);
        EXPECT_EQ(communicator->isFinished(), c.finished);
        EXPECT_FALSE(communicator->isEnded());
    }
}

TEST_F(CommunicatorTest, StateReplyOfTheBaseSession)
{
    send(frame(44, 9, {0}));
    ASSERT_TRUE(communicator->processSingle());
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
        ASSERT_TRUE(communicator->processSingle());
        EXPECT_EQ(received(), c.acks) << "no reply to a broken request";
        ASSERT_TRUE(communicator->processSingle());
        EXPECT_EQ(received({0}), (header(2, 8) + u4(8) + Bytes({1, 0, 0, 0, 0, 0, 0, 0})));
    }
}

TEST_F(CommunicatorTest, CloseAndEndOfStreamEndTheConnection)
{
    send(u4(0) + u4(1));
    ASSERT_TRUE(communicator->processSingle());
    EXPECT_TRUE(communicator->isEnded());
    EXPECT_TRUE(received().empty());
}

TEST_F(CommunicatorTest, StreamEndingDuringRecoveryEndsInsteadOfSpinning)
{
    send(frame(44, 1, {}, 1, 2, 3, 0) + Bytes(50, 0));
    shutdown(fds[1], SHUT_WR);
    ASSERT_TRUE(communicator->processSingle());
    EXPECT_TRUE(communicator->isEnded());
    EXPECT_TRUE(communicator->process());
}

TEST_F(CommunicatorTest, PayloadCutShortEndsTheConnection)
{
    Bytes request = frame(99, 1, Bytes(100, 7));
    request.resize(request.size() - 10);
    send(request);
    shutdown(fds[1], SHUT_WR);
    ASSERT_TRUE(communicator->processSingle());
    EXPECT_TRUE(communicator->isEnded());
    EXPECT_EQ(received(), (Bytes{0})) << "sizes acknowledged, nothing run";
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
        ASSERT_TRUE(served.processSingle());
        EXPECT_EQ(received({2}), Bytes({0, 0}) + k.reply);
    }
    EXPECT_TRUE(c->getIsViewFiltered(true)) << "the view shows only q.*: p.A is hidden";

    // A session without classes answers with an empty body.
    send(frame(60, 4, {}));
    ASSERT_TRUE(communicator->processSingle());
    EXPECT_EQ(received({2}), Bytes({0, 0}) + header(60, 4) + END);
}

} // namespace
