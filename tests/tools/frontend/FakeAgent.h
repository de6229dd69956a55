#ifndef KVR_TESTS_TOOLS_FRONTEND_FAKEAGENT_H
#define KVR_TESTS_TOOLS_FRONTEND_FAKEAGENT_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A tiny stand-in for the agent's listening side, on 127.0.0.1 and a free port: the handshake,
// framed requests with their acknowledgement bytes, recovery after a broken request, and
// scripted replies. It decodes every byte itself so that it checks the client independently.
// It records the bytes each connection sent and a line per thing it did.
class FakeAgent {
public:
    static constexpr int64_t VM_START = 0x0102030405060708LL;
    static constexpr int64_t NOW = 0x1112131415161718LL;

    FakeAgent();
    ~FakeAgent();

    uint16_t port() const { return port_; }
    void setReplyBody(uint32_t command, const std::vector<uint8_t> &body);
    // Bytes the agent sends right after the reply header of command 76.
    void setLoadInfo(const std::vector<uint8_t> &bytes) { setReplyBody(76, bytes); }
    // Answers this command with its reply header and half an end marker, then hangs up.
    void setCutShort(uint32_t command) { cutShortCommand_ = command; }

    // Every byte each connection sent, in order (one entry per accepted connection).
    std::vector<std::vector<uint8_t>> received();
    std::vector<std::string> events();
    // Waits (bounded) until a line equal to `event` has been recorded.
    bool waitForEvent(const std::string &event, int timeoutMs = 5000);

private:
    void serve();
    void serveConnection(int fd, size_t index);
    bool readExact(int fd, size_t index, uint8_t *out, size_t length);
    void sendAll(int fd, const std::vector<uint8_t> &bytes);
    void record(const std::string &event);
    void recover(int fd, size_t index);
    std::vector<uint8_t> header(uint32_t command, uint32_t requestId);

    int listenFd_ = -1;
    uint16_t port_ = 0;
    bool stopping_ = false;
    uint32_t cutShortCommand_ = 0xFFFFFFFFu;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint32_t, std::vector<uint8_t>> bodies_;
    std::vector<std::vector<uint8_t>> received_;
    std::vector<std::string> events_;
};

#endif
