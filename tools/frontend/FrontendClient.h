#ifndef KVR_TOOLS_FRONTEND_FRONTENDCLIENT_H
#define KVR_TOOLS_FRONTEND_FRONTENDCLIENT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the agent puts before every reply.
struct ReplyHeader {
    int64_t vmStartTime = 0; // microseconds; -1 while the agent does not know it
    uint32_t command = 0;
    int64_t agentTime = 0; // the agent's clock when it answered, microseconds
    uint32_t requestId = 0;
};

struct Reply {
    ReplyHeader header;
    std::vector<uint8_t> body; // the bytes between the header and the end marker
};

// One request. The size and CRC fields are computed from the payload unless a test asks for
// different values to see how the agent treats a damaged frame.
struct Request {
    uint32_t command = 0;
    uint32_t requestId = 0;
    std::vector<uint8_t> payload;
    bool overrideSizes = false;
    uint32_t sizes[3] = {0, 0, 0};
    bool overrideCrc = false;
    uint32_t crc = 0;
};

// A client of the agent's front-end protocol over TCP: connect, handshake, framed requests and
// their replies. Every wait on the socket is bounded by the time-out given at construction.
// One thread uses an instance at a time.
class FrontendClient {
public:
    enum Status {
        OK,
        REFUSED_SIZE, // the agent acknowledged the sizes with 1 and did not run the request
        REFUSED_CRC,  // the agent acknowledged the CRC with 1 and did not run the request
        IO_ERROR,     // connection closed, time-out or socket error
        PROTOCOL_ERROR // the agent's bytes do not fit the protocol
    };

    explicit FrontendClient(int timeoutMs = 10000);
    ~FrontendClient();
    FrontendClient(const FrontendClient &) = delete;
    FrontendClient &operator=(const FrontendClient &) = delete;

    // Opens a TCP connection. Returns an empty string, or what went wrong.
    std::string connect(const std::string &host, uint16_t port);
    // Says hello, checks the agent's magic and takes its protocol version, then confirms.
    // The hello values can be changed to see the agent refuse a stranger.
    // Returns an empty string, or what went wrong (the connection is then closed).
    std::string handshake(uint32_t hello = 31, uint32_t helloVersion = 0);

    // Sends one request and reads its reply into `reply` (unless it is command 0, which has
    // none). Waits for the agent's acknowledgement byte after the sizes and after the CRC; a
    // refused request is followed by the resynchronisation pattern when
    // auto-resync is on (the default). lastError() tells what went wrong.
    Status request(const Request &request, Reply *reply);
    // Same, with the next request id of this client.
    Status call(uint32_t command, const std::vector<uint8_t> &payload, Reply *reply);

    // More than 900 zero bytes and then a byte 1: the agent's recovery stops there.
    std::string sendResync();
    std::string sendRaw(const void *data, size_t length);
    std::string readRaw(void *data, size_t length);

    // The encoded request as it goes on the wire: command, request id and, for commands with a
    // payload, the three sizes, the CRC-32 and the payload.
    static std::vector<uint8_t> encodeRequest(const Request &request);

    void close();
    bool connected() const { return fd_ >= 0; }
    void setAutoResync(bool on) { autoResync_ = on; }
    const std::string &agentVersion() const { return agentVersion_; }
    // The agent's object ID width, from the reply to command 2; 8 until then.
    unsigned idWidth() const { return idWidth_; }
    const std::string &lastError() const { return lastError_; }

private:
    Status fail(Status status, const std::string &text);
    std::string recvExact(void *data, size_t length);
    std::string recvInto(std::vector<uint8_t> &body, size_t length);
    std::string waitReadable();
    Status readAck(Status refused);
    Status readReply(uint32_t command, uint32_t requestId, Reply *reply);
    std::string readBodyToEndMarker(std::vector<uint8_t> &body);
    std::string readIdWidthBody(std::vector<uint8_t> &body);
    std::string readLoadInfoBody(std::vector<uint8_t> &body);

    int fd_ = -1;
    int timeoutMs_;
    bool autoResync_ = true;
    unsigned idWidth_ = 8;
    uint32_t nextRequestId_ = 1;
    std::string agentVersion_;
    std::string lastError_;
    std::vector<uint8_t> inBuffer_;
    size_t inPosition_ = 0;
};

#endif
