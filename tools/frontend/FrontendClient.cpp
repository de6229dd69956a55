#include "FrontendClient.h"

#include "FrontendProtocol.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

using namespace frontendProtocol;

namespace {

// A reply body scanned for the end marker may not grow without bound.
constexpr size_t MAX_BODY = 256u * 1024 * 1024;
constexpr size_t RECV_CHUNK = 65536;

uint32_t payloadCrc(const std::vector<uint8_t> &payload)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most a uInt at a time
    size_t done = 0;
    while (done < payload.size()) {
        size_t part = payload.size() - done;
        if (part > 0x40000000u)
            part = 0x40000000u;
        crc = crc32(crc, payload.data() + done, static_cast<uInt>(part));
        done += part;
    }
    return static_cast<uint32_t>(crc);
}

std::string errnoText(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

} // namespace

FrontendClient::FrontendClient(int timeoutMs) : timeoutMs_(timeoutMs) {}

FrontendClient::~FrontendClient()
{
    close();
}

void FrontendClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    inBuffer_.clear();
    inPosition_ = 0;
}

FrontendClient::Status FrontendClient::fail(Status status, const std::string &text)
{
    lastError_ = text;
    return status;
}

std::string FrontendClient::connect(const std::string &host, uint16_t port)
{
    close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0)
        return "cannot resolve " + host + ": " + gai_strerror(rc);

    std::string error = "no address for " + host;
    for (addrinfo *a = found; a && fd_ < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            error = errnoText("socket");
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            error = errnoText("connect");
            ::close(fd);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&p, 1, timeoutMs_);
        } while (ready < 0 && errno == EINTR);
        int soError = 0;
        socklen_t len = sizeof soError;
        if (ready <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) {
            error = ready == 0 ? "connect: timed out" : std::string("connect: ") + strerror(soError ? soError : errno);
            ::close(fd);
            continue;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        int one = 1;
        // Requests go out in small pieces that each wait for an answer.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = fd;
    }
    freeaddrinfo(found);
    return fd_ >= 0 ? std::string() : error;
}

std::string FrontendClient::sendRaw(const void *data, size_t length)
{
    if (fd_ < 0)
        return "not connected";
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (length > 0) {
        ssize_t n = send(fd_, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return errnoText("send");
        p += n;
        length -= static_cast<size_t>(n);
    }
    return std::string();
}

std::string FrontendClient::waitReadable()
{
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs_);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return "timed out waiting for the agent";
    if (ready < 0)
        return errnoText("poll");
    return std::string();
}

std::string FrontendClient::recvExact(void *data, size_t length)
{
    if (fd_ < 0)
        return "not connected";
    uint8_t *out = static_cast<uint8_t *>(data);
    while (length > 0) {
        if (inPosition_ < inBuffer_.size()) {
            size_t part = std::min(length, inBuffer_.size() - inPosition_);
            memcpy(out, inBuffer_.data() + inPosition_, part);
            inPosition_ += part;
            out += part;
            length -= part;
            continue;
        }
        std::string error = waitReadable();
        if (!error.empty())
            return error;
        inBuffer_.resize(RECV_CHUNK);
        inPosition_ = 0;
        ssize_t n = recv(fd_, inBuffer_.data(), inBuffer_.size(), 0);
        if (n < 0 && errno == EINTR) {
            inBuffer_.clear();
            continue;
        }
        if (n <= 0) {
            inBuffer_.clear();
            return n == 0 ? "connection closed by the agent" : errnoText("recv");
        }
        inBuffer_.resize(static_cast<size_t>(n));
        // Acknowledge at once: an agent that sends its acknowledgement byte and its reply as two
        // small writes would otherwise wait for our delayed ACK before sending the reply.
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    return std::string();
}

std::string FrontendClient::readRaw(void *data, size_t length)
{
    return recvExact(data, length);
}

std::string FrontendClient::recvInto(std::vector<uint8_t> &body, size_t length)
{
    size_t at = body.size();
    body.resize(at + length);
    return recvExact(body.data() + at, length);
}

std::string FrontendClient::handshake(uint32_t hello, uint32_t helloVersion)
{
    WireWriter out;
    out.writeU4(hello);
    out.writeU4(helloVersion);
    std::string error = sendRaw(out.bytes().data(), out.bytes().size());

    uint8_t head[6];
    if (error.empty())
        error = recvExact(head, sizeof head);
    if (error.empty()) {
        WireReader in(head, sizeof head);
        uint32_t magic = in.readU4();
        uint16_t versionLength = in.readU2();
        std::string version(versionLength, '\0');
        if (magic != MAGIC) {
            char text[64];
            snprintf(text, sizeof text, "agent answered 0x%08X instead of the magic", magic);
            error = text;
        } else {
            error = recvExact(&version[0], versionLength);
        }
        if (error.empty())
            agentVersion_ = version;
    }
    if (error.empty()) {
        out.clear();
        out.writeU4(MAGIC);
        error = sendRaw(out.bytes().data(), out.bytes().size());
    }
    if (!error.empty())
        close();
    lastError_ = error;
    return error;
}

std::vector<uint8_t> FrontendClient::encodeRequest(const Request &request)
{
    WireWriter out;
    out.writeU4(request.command);
    out.writeU4(request.requestId);
    if (!hasPayloadFields(request.command))
        return out.bytes();
    uint32_t size = static_cast<uint32_t>(request.payload.size());
    for (int i = 0; i < 3; i++)
        out.writeU4(request.overrideSizes ? request.sizes[i] : size);
    out.writeU4(request.overrideCrc ? request.crc : payloadCrc(request.payload));
    out.writeBytes(request.payload.data(), request.payload.size());
    return out.bytes();
}

std::string FrontendClient::sendResync()
{
    std::vector<uint8_t> pattern(RESYNC_ZEROS + 1, 0);
    pattern.back() = 1;
    return sendRaw(pattern.data(), pattern.size());
}

FrontendClient::Status FrontendClient::readAck(Status refused)
{
    uint8_t ack;
    std::string error = recvExact(&ack, 1);
    if (!error.empty())
        return fail(IO_ERROR, error);
    if (ack == ACK_GOOD)
        return OK;
    if (ack != ACK_BROKEN)
        return fail(PROTOCOL_ERROR, "acknowledgement byte " + std::to_string(ack));
    if (autoResync_) {
        error = sendResync();
        if (!error.empty())
            return fail(IO_ERROR, error);
    }
    return fail(refused, refused == REFUSED_SIZE ? "the agent refused the request sizes"
                                                 : "the agent refused the request CRC");
}

FrontendClient::Status FrontendClient::request(const Request &request, Reply *reply)
{
    lastError_.clear();
    if (fd_ < 0)
        return fail(IO_ERROR, "not connected");
    std::vector<uint8_t> bytes = encodeRequest(request);
    // command, request id, three sizes; then CRC and payload
    const size_t headLength = 20;
    std::string error;
    if (!hasPayloadFields(request.command)) {
        error = sendRaw(bytes.data(), bytes.size());
        if (!error.empty())
            return fail(IO_ERROR, error);
    } else {
        error = sendRaw(bytes.data(), headLength);
        if (!error.empty())
            return fail(IO_ERROR, error);
        Status status = readAck(REFUSED_SIZE);
        if (status != OK)
            return status;
        error = sendRaw(bytes.data() + headLength, bytes.size() - headLength);
        if (!error.empty())
            return fail(IO_ERROR, error);
        status = readAck(REFUSED_CRC);
        if (status != OK)
            return status;
    }
    if (request.command == CMD_CLOSE)
        return OK;
    Reply scratch;
    return readReply(request.command, request.requestId, reply ? reply : &scratch);
}

FrontendClient::Status FrontendClient::call(uint32_t command, const std::vector<uint8_t> &payload, Reply *reply)
{
    Request r;
    r.command = command;
    r.requestId = nextRequestId_++;
    r.payload = payload;
    return request(r, reply);
}

FrontendClient::Status FrontendClient::readReply(uint32_t command, uint32_t requestId, Reply *reply)
{
    uint8_t head[REPLY_HEADER_SIZE];
    std::string error = recvExact(head, sizeof head);
    if (!error.empty())
        return fail(IO_ERROR, error);
    WireReader in(head, sizeof head);
    reply->header.vmStartTime = in.readJLong();
    reply->header.command = in.readU4();
    reply->header.agentTime = in.readJLong();
    reply->header.requestId = in.readU4();
    reply->body.clear();
    if (reply->header.command != command || reply->header.requestId != requestId)
        return fail(PROTOCOL_ERROR, "reply header names command " + std::to_string(reply->header.command) +
                                        " request " + std::to_string(reply->header.requestId) + ", expected " +
                                        std::to_string(command) + " request " + std::to_string(requestId));
    if (command == CMD_ID_WIDTH)
        error = readIdWidthBody(reply->body);
    else if (command == CMD_LOAD_INFO)
        error = readLoadInfoBody(reply->body);
    else
        error = readBodyToEndMarker(reply->body);
    if (error.empty())
        return OK;
    return fail(error.compare(0, 9, "protocol:") == 0 ? PROTOCOL_ERROR : IO_ERROR, error);
}

std::string FrontendClient::readBodyToEndMarker(std::vector<uint8_t> &body)
{
    const size_t markerLength = sizeof END_MARKER;
    while (body.size() < markerLength ||
           memcmp(body.data() + body.size() - markerLength, END_MARKER, markerLength) != 0) {
        if (body.size() >= MAX_BODY)
            return "protocol: no end marker within " + std::to_string(MAX_BODY) + " bytes";
        std::string error = recvInto(body, 1);
        if (!error.empty())
            return error;
    }
    body.resize(body.size() - markerLength);
    return std::string();
}

std::string FrontendClient::readIdWidthBody(std::vector<uint8_t> &body)
{
    std::string error = recvInto(body, 4);
    if (!error.empty())
        return error;
    uint32_t width = WireReader(body).readU4();
    if (width != 4 && width != 8)
        return "protocol: ID width " + std::to_string(width);
    error = recvInto(body, width);
    if (!error.empty())
        return error;
    if (WireReader(body.data() + 4, width).readID(width) != 1)
        return "protocol: the ID of value 1 reads differently in little-endian order";
    idWidth_ = width;
    return std::string();
}

namespace {

// Reads the fields of a reply straight from the socket, keeping every byte in the body.
class FieldStream {
public:
    FieldStream(std::vector<uint8_t> &body, std::string (*pull)(void *, std::vector<uint8_t> &, size_t), void *owner)
        : body_(body), pull_(pull), owner_(owner)
    {
    }
    bool ok() const { return error.empty(); }
    uint64_t number(size_t length)
    {
        if (!ok())
            return 0;
        size_t at = body_.size();
        error = pull_(owner_, body_, length);
        if (!ok())
            return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < length; i++)
            value = value << 8 | body_[at + i];
        return value;
    }
    void skip(size_t length)
    {
        if (ok())
            error = pull_(owner_, body_, length);
    }
    void string() { skip(static_cast<size_t>(number(2))); }

    std::string error;

private:
    std::vector<uint8_t> &body_;
    std::string (*pull_)(void *, std::vector<uint8_t> &, size_t);
    void *owner_;
};

} // namespace

// Load information: the VM version; a byte 0 when the agent has no more to tell; else the
// agent's switches, the names of the loaded classes and the instrumentation settings.
std::string FrontendClient::readLoadInfoBody(std::vector<uint8_t> &body)
{
    FieldStream in(
        body,
        [](void *self, std::vector<uint8_t> &b, size_t n) { return static_cast<FrontendClient *>(self)->recvInto(b, n); },
        this);
    in.string();
    if (in.number(1) == 0)
        return in.error;
    in.skip(5 + 8); // attached, nowait, array allocations, two sharing flags, available PermGen
    while (in.ok() && in.number(1) != 0)
        in.string();
    if (in.number(1) == 0)
        return in.error; // no instrumentation settings
    in.skip(3);
    for (uint64_t n = in.number(4); in.ok() && n > 0; n--)
        in.string();
    while (in.ok() && in.number(1) != 0) {
        in.string();
        in.string();
        in.string();
    }
    while (in.ok() && in.number(1) != 0) {
        in.string();
        in.string();
        in.skip(idWidth_);
        while (in.ok() && in.number(1) != 0)
            in.skip(idWidth_);
    }
    for (uint64_t n = in.number(4); in.ok() && n > 0; n--) {
        in.skip(idWidth_);
        in.string();
    }
    return in.error;
}
