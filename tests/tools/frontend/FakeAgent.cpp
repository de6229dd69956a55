#include "FakeAgent.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr int POLL_MS = 20;
constexpr uint32_t LARGEST_PAYLOAD = 1u << 20;

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

void put64(std::vector<uint8_t> &out, int64_t v)
{
    put32(out, uint32_t(uint64_t(v) >> 32));
    put32(out, uint32_t(v));
}

} // namespace

FakeAgent::FakeAgent()
{
    // load information of a VM that has no more to tell than its version
    bodies_[76] = {0x00, 0x02, '1', '7', 0x00};
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(listenFd_, 10) == 0 &&
        getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
    thread_ = std::thread(&FakeAgent::serve, this);
}

FakeAgent::~FakeAgent()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    thread_.join();
    close(listenFd_);
}

void FakeAgent::setReplyBody(uint32_t command, const std::vector<uint8_t> &body)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bodies_[command] = body;
}

std::vector<std::vector<uint8_t>> FakeAgent::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<std::string> FakeAgent::events()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

bool FakeAgent::waitForEvent(const std::string &event, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const std::string &e : events_)
            if (e == event)
                return true;
        return false;
    });
}

void FakeAgent::record(const std::string &event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
}

void FakeAgent::serve()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
        }
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, POLL_MS) <= 0)
            continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        size_t index;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.emplace_back();
            index = received_.size() - 1;
        }
        serveConnection(fd, index);
        close(fd);
        record("closed");
    }
}

bool FakeAgent::readExact(int fd, size_t index, uint8_t *out, size_t length)
{
    while (length > 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return false;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, POLL_MS) <= 0)
            continue;
        ssize_t n = recv(fd, out, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        received_[index].insert(received_[index].end(), out, out + n);
        out += n;
        length -= size_t(n);
    }
    return true;
}

void FakeAgent::sendAll(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

std::vector<uint8_t> FakeAgent::header(uint32_t command, uint32_t requestId)
{
    std::vector<uint8_t> out;
    put64(out, VM_START);
    put32(out, command);
    put64(out, NOW);
    put32(out, requestId);
    return out;
}

// Skips bytes until a byte 1 follows more than 900 zero bytes, or the stream ends.
void FakeAgent::recover(int fd, size_t index)
{
    size_t zeros = 0;
    uint8_t b;
    while (readExact(fd, index, &b, 1)) {
        if (b == 0)
            zeros++;
        else if (b == 1 && zeros > 900) {
            record("recovered after " + std::to_string(zeros) + " zeros");
            return;
        }
    }
    record("stream ended in recovery");
}

void FakeAgent::serveConnection(int fd, size_t index)
{
    uint8_t hello[8];
    if (!readExact(fd, index, hello, 8))
        return;
    if (be32(hello) != 31 || be32(hello + 4) != 0) {
        record("refused hello " + std::to_string(be32(hello)) + " " + std::to_string(be32(hello + 4)));
        return;
    }
    sendAll(fd, {0xCA, 0xFE, 0xD0, 0x0D, 0x00, 0x02, '3', '6'});
    uint8_t confirm[4];
    if (!readExact(fd, index, confirm, 4) || be32(confirm) != 0xCAFED00Du) {
        record("no confirmation");
        return;
    }
    record("connected");

    for (;;) {
        uint8_t head[8];
        if (!readExact(fd, index, head, 8))
            return;
        uint32_t command = be32(head);
        uint32_t requestId = be32(head + 4);
        if (command == 0) {
            record("command 0");
            return;
        }
        std::vector<uint8_t> reply = header(command, requestId);
        if (command == 2) {
            put32(reply, 8);
            for (uint8_t b : {1, 0, 0, 0, 0, 0, 0, 0})
                reply.push_back(b);
            sendAll(fd, reply);
            record("executed 2");
            continue;
        }
        if (command == 76) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                reply.insert(reply.end(), bodies_[76].begin(), bodies_[76].end());
            }
            sendAll(fd, reply);
            record("executed 76");
            continue;
        }
        uint8_t sizes[12];
        if (!readExact(fd, index, sizes, 12))
            return;
        uint32_t a = be32(sizes), b = be32(sizes + 4), c = be32(sizes + 8);
        uint32_t size = (a == b || a == c) ? a : (b == c ? b : 0);
        bool broken = !(a == b || a == c || b == c) || size > LARGEST_PAYLOAD;
        sendAll(fd, {uint8_t(broken ? 1 : 0)});
        if (broken) {
            record("broken sizes " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
            recover(fd, index);
            continue;
        }
        uint8_t crcBytes[4];
        std::vector<uint8_t> payload(size);
        if (!readExact(fd, index, crcBytes, 4) || !readExact(fd, index, payload.data(), size))
            return;
        uint32_t computed = uint32_t(crc32(0, payload.data(), uInt(size)));
        bool crcBroken = computed != be32(crcBytes);
        sendAll(fd, {uint8_t(crcBroken ? 1 : 0)});
        if (crcBroken) {
            record("broken crc");
            recover(fd, index);
            continue;
        }
        if (command == cutShortCommand_) {
            for (uint8_t m : {0xBC, 0xC0, 0x89, 0x30})
                reply.push_back(m);
            sendAll(fd, reply);
            record("cut short " + std::to_string(command));
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply.insert(reply.end(), bodies_[command].begin(), bodies_[command].end());
        }
        for (uint8_t m : {0xBC, 0xC0, 0x89, 0x30, 0x77, 0x71, 0x17, 0xFA})
            reply.push_back(m);
        sendAll(fd, reply);
        record("executed " + std::to_string(command) + " size " + std::to_string(size));
    }
}
