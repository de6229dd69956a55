#include "FakeAgent.h"
#include "../../support/LoopbackSocket.h"
#include "FrontendClient.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes HELLO_AND_CONFIRM = {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00, 0xCA, 0xFE, 0xD0, 0x0D};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class FrontendClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(agent.port(), 0);
        ASSERT_EQ(client.connect("127.0.0.1", agent.port()), "");
        ASSERT_EQ(client.handshake(), "");
        ASSERT_TRUE(agent.waitForEvent("connected"));
    }

    // What the client sent after the handshake on the first connection.
    Bytes sentAfterHandshake()
    {
        Bytes all = agent.received().at(0);
        return Bytes(all.begin() + HELLO_AND_CONFIRM.size(), all.end());
    }

    FakeAgent agent;
    FrontendClient client{5000};
};

TEST_F(FrontendClientTest, HandshakeSaysHelloAndConfirmsTheMagic)
{
    EXPECT_EQ(client.agentVersion(), "36");
    client.close();
    ASSERT_TRUE(agent.waitForEvent("closed"));
    EXPECT_EQ(agent.received().at(0), HELLO_AND_CONFIRM);
}

TEST(FrontendClientHandshake, RefusedHelloFailsAndTheNextClientIsServed)
{
    FakeAgent agent;
    FrontendClient stranger(5000);
    ASSERT_EQ(stranger.connect("127.0.0.1", agent.port()), "");
    EXPECT_NE(stranger.handshake(31, 1), "");
    EXPECT_FALSE(stranger.connected());
    EXPECT_TRUE(agent.waitForEvent("refused hello 31 1"));

    FrontendClient next(5000);
    ASSERT_EQ(next.connect("127.0.0.1", agent.port()), "");
    EXPECT_EQ(next.handshake(), "");
    EXPECT_TRUE(agent.waitForEvent("connected"));
}

TEST(FrontendClientHandshake, PeerThatIsNoAgentIsAnError)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    std::thread peer([listener] {
        int fd = accept(listener, nullptr, nullptr);
        const char answer[] = "HTTP/1.0 400\r\n\r\n";
        send(fd, answer, sizeof answer - 1, MSG_NOSIGNAL);
        close(fd);
    });
    FrontendClient client(5000);
    ASSERT_EQ(client.connect("127.0.0.1", ntohs(addr.sin_port)), "");
    std::string error = client.handshake();
    peer.join();
    close(listener);
    EXPECT_NE(error.find("instead of the magic"), std::string::npos) << error;
    EXPECT_FALSE(client.connected());
}

TEST_F(FrontendClientTest, RequestFramingOnTheWire)
{
    struct Case {
        const char *name;
        uint32_t command;
        uint32_t requestId;
        Bytes payload;
        Bytes wire;
    };
    const Case cases[] = {
        {"payload of two bytes", 44, 7, {0xAA, 0xBB},
         {0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x07,                         // command, id
          0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, // size x3
          0x49, 0x82, 0x2C, 0x98,                                                 // CRC-32
          0xAA, 0xBB}},
        {"empty payload", 60, 0x01020304, {},
         {0x00, 0x00, 0x00, 0x3C, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"command 2 has no size or CRC", 2, 3, {}, {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03}},
        {"command 76 has no size or CRC", 76, 4, {}, {0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x00, 0x04}},
    };
    Bytes expected;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        r.command = c.command;
        r.requestId = c.requestId;
        r.payload = c.payload;
        EXPECT_EQ(FrontendClient::encodeRequest(r), c.wire);
        Reply reply;
        ASSERT_EQ(client.request(r, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_EQ(reply.header.command, c.command);
        EXPECT_EQ(reply.header.requestId, c.requestId);
        expected.insert(expected.end(), c.wire.begin(), c.wire.end());
    }
    Request close;
    close.requestId = 5;
    ASSERT_EQ(client.request(close, nullptr), FrontendClient::OK);
    ASSERT_TRUE(agent.waitForEvent("command 0"));
    expected.insert(expected.end(), {0, 0, 0, 0, 0, 0, 0, 5});
    EXPECT_EQ(sentAfterHandshake(), expected);
}

TEST_F(FrontendClientTest, ReplyIsReadUpToTheEndMarker)
{
    // The body holds the first half of the end marker: that must not end the reply.
    Bytes body = {0x00, 0x00, 0x00, 0x01, 0xBC, 0xC0, 0x89, 0x30, 0x77, 0x71, 0x17, 0x12};
    agent.setReplyBody(44, body);
    Reply reply;
    ASSERT_EQ(client.call(44, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.header.vmStartTime, FakeAgent::VM_START);
    EXPECT_EQ(reply.header.agentTime, FakeAgent::NOW);
    EXPECT_EQ(reply.header.command, 44u);
    EXPECT_EQ(reply.body, body);

    // an unknown command: header and end marker only
    ASSERT_EQ(client.call(99, {1, 2, 3}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(reply.body.empty());
}

TEST_F(FrontendClientTest, CommandTwoTellsTheIdWidth)
{
    Reply reply;
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (Bytes{0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(client.idWidth(), 8u);
    // and the stream stays in step
    ASSERT_EQ(client.call(44, {}, &reply), FrontendClient::OK) << client.lastError();
}

TEST(FrontendClientLoadInfo, EveryShapeIsConsumedExactly)
{
    const Bytes id8 = {0x10, 0x20, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char *name;
        Bytes body;
    };
    const Case cases[] = {
        {"no more to tell", {0x00, 0x02, '1', '7', 0x00}},
        {"classes, no settings",
         concat({{0x00, 0x02, '1', '7', 0x01, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2A},
                 {0x01, 0x00, 0x01, 'A', 0x01, 0x00, 0x02, 'B', 'c', 0x00},
                 {0x00}})},
        {"settings, ignored methods, filtered calls",
         concat({{0x00, 0x02, '1', '7', 0x01, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2A},
                 {0x01, 0x00, 0x01, 'A', 0x00},
                 {0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x03, 'a', '.', 'b'},
                 {0x01, 0x00, 0x01, 'C', 0x00, 0x01, 'm', 0x00, 0x03, '(', ')', 'V', 0x00},
                 {0x01, 0x00, 0x01, 'm', 0x00, 0x03, '(', ')', 'V'},
                 id8,
                 {0x01},
                 id8,
                 {0x00, 0x00},
                 {0x00, 0x00, 0x00, 0x01},
                 id8,
                 {0x00, 0x01, 'C'}})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeAgent agent;
        agent.setLoadInfo(c.body);
        agent.setReplyBody(44, {0x77});
        FrontendClient client(5000);
        ASSERT_EQ(client.connect("127.0.0.1", agent.port()), "");
        ASSERT_EQ(client.handshake(), "");
        Reply reply;
        ASSERT_EQ(client.call(76, {}, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_EQ(reply.body, c.body);
        // a byte too many or too few would show in the next reply
        ASSERT_EQ(client.call(44, {}, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_EQ(reply.body, Bytes{0x77});
    }
}

TEST_F(FrontendClientTest, BrokenRequestsAreRefusedAndTheStreamResynchronised)
{
    struct Case {
        const char *name;
        bool badSizes;
        FrontendClient::Status status;
        const char *event;
        size_t frameBytes; // what the agent reads of the frame before its recovery
    };
    const Case cases[] = {
        {"three different sizes", true, FrontendClient::REFUSED_SIZE, "broken sizes 1 2 3", 20},
        {"bad CRC", false, FrontendClient::REFUSED_CRC, "broken crc", 26},
    };
    Bytes resync(1000, 0);
    resync.push_back(1);
    size_t offset = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        r.command = 44;
        r.requestId = 9;
        r.payload = {0xAA, 0xBB};
        if (c.badSizes) {
            r.overrideSizes = true;
            r.sizes[0] = 1;
            r.sizes[1] = 2;
            r.sizes[2] = 3;
        } else {
            r.overrideCrc = true;
            r.crc = 0x49822C99;
        }
        Reply reply;
        EXPECT_EQ(client.request(r, &reply), c.status);
        ASSERT_TRUE(agent.waitForEvent(c.event));
        ASSERT_TRUE(agent.waitForEvent("recovered after 1000 zeros"));
        // the next request is served
        ASSERT_EQ(client.call(44, {}, &reply), FrontendClient::OK) << client.lastError();

        Bytes sent = sentAfterHandshake();
        Bytes frame = FrontendClient::encodeRequest(r);
        ASSERT_GE(sent.size(), offset + c.frameBytes + resync.size());
        EXPECT_EQ(Bytes(sent.begin() + offset, sent.begin() + offset + c.frameBytes),
                  Bytes(frame.begin(), frame.begin() + c.frameBytes));
        EXPECT_EQ(Bytes(sent.begin() + offset + c.frameBytes, sent.begin() + offset + c.frameBytes + resync.size()),
                  resync);
        offset = sent.size();
    }
}

TEST_F(FrontendClientTest, TwoEqualSizesOutOfThreeAreEnough)
{
    Request r;
    r.command = 44;
    r.requestId = 1;
    r.payload = {0xAA, 0xBB};
    r.overrideSizes = true;
    r.sizes[0] = 2;
    r.sizes[1] = 9;
    r.sizes[2] = 2;
    Reply reply;
    EXPECT_EQ(client.request(r, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(agent.waitForEvent("executed 44 size 2"));
}

TEST_F(FrontendClientTest, SilentAgentTimesOut)
{
    FrontendClient impatient(200);
    ASSERT_EQ(impatient.connect("127.0.0.1", agent.port()), "");
    // the fake serves one connection at a time: the second one gets no answer
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(impatient.handshake(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(FrontendClientTest, ReplyCutShortIsAnError)
{
    agent.setCutShort(50);
    Reply reply;
    EXPECT_EQ(client.call(50, {}, &reply), FrontendClient::IO_ERROR);
    EXPECT_TRUE(agent.waitForEvent("cut short 50"));
}

TEST(FrontendClientConnect, NobodyListening)
{
    uint16_t port;
    int bound = loopbackSocket::refusingPort(&port);
    ASSERT_GE(bound, 0);
    FrontendClient client(1000);
    EXPECT_NE(client.connect("127.0.0.1", port), "");
    EXPECT_FALSE(client.connected());
    Reply reply;
    EXPECT_EQ(client.call(44, {}, &reply), FrontendClient::IO_ERROR);
    close(bound);
}

} // namespace
