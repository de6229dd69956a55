#include "ctrlPeer.h"

#include <algorithm>

#include "strata/strata.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace ctrlpeer {

std::vector<uint8_t> buildPacket(uint8_t destination, uint8_t source, uint16_t opcode,
                                 const std::vector<uint8_t> &data, bool more)
{
    std::vector<uint8_t> p(STRATA_PACKET_MAX);
    uint32_t size = strataFramePacket(p.data(), destination, source, opcode, data.data(), (uint32_t)data.size(), more);
    p.resize(size);
    return p;
}

std::vector<std::vector<uint8_t>> splitMessage(uint8_t destination, uint8_t source, uint16_t opcode,
                                               const std::vector<uint8_t> &data)
{
    std::vector<std::vector<uint8_t>> packets;
    size_t offset = 0;
    while (data.size() - offset > 57) {
        packets.push_back(buildPacket(destination, source, opcode,
                                      std::vector<uint8_t>(data.begin() + offset, data.begin() + offset + 57), true));
        offset += 57;
    }
    packets.push_back(buildPacket(destination, source, opcode, std::vector<uint8_t>(data.begin() + offset, data.end())));
    return packets;
}

int silentSocket()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    return fd;
}

int floodUntilStalled(int fd, const std::vector<uint8_t> &packet, int stallMs, int timeoutMs)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::vector<uint8_t> burst;
    for (int i = 0; i < 64; i++)
        burst.insert(burst.end(), packet.begin(), packet.end());
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t offset = 0;
    while (std::chrono::steady_clock::now() < until) {
        ssize_t n = send(fd, burst.data() + offset, burst.size() - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset = (offset + (size_t)n) % burst.size();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return 0;
        struct pollfd waitFor = {fd, POLLOUT, 0};
        int ready = poll(&waitFor, 1, stallMs);
        if (ready == 0)
            return 1;
        if (ready > 0 && (waitFor.revents & (POLLERR | POLLHUP)))
            return 0;
    }
    return -1;
}

Packet parsePacket(const std::vector<uint8_t> &raw)
{
    Packet p;
    p.raw = raw;
    if (raw.size() < 7)
        return p;
    p.destination = raw[1];
    p.source = raw[2];
    p.more = raw[3] & 0x40;
    p.opcode = (uint16_t)(raw[4] << 8 | raw[5]);
    p.data.assign(raw.begin() + 6, raw.end() - 1);
    p.checksumOk = strataChecksum(raw.data(), (uint32_t)raw.size() - 1) == raw.back();
    return p;
}

std::string describe(const Packet &packet)
{
    char head[64];
    snprintf(head, sizeof head, "%04X dst %02X src %02X%s", packet.opcode, packet.destination, packet.source,
             packet.more ? " more" : "");
    std::string text = head;
    for (uint8_t b : packet.data) {
        char byte[4];
        snprintf(byte, sizeof byte, " %02X", b);
        text += byte;
    }
    return text;
}

CtrlPeer::CtrlPeer() : CtrlPeer(Options()) {}

CtrlPeer::CtrlPeer(const Options &options) : options_(options)
{
    if (pipe2(wakeFds_, O_CLOEXEC) != 0)
        wakeFds_[0] = wakeFds_[1] = -1;
}

CtrlPeer::~CtrlPeer()
{
    stopReader();
    if (fd_ >= 0)
        close(fd_);
    if (listenFd_ >= 0)
        close(listenFd_);
    for (int fd : wakeFds_)
        if (fd >= 0)
            close(fd);
}

std::string CtrlPeer::openPty()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0)
            close(master);
        return "";
    }
    struct termios raw;
    if (tcgetattr(master, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(master, TCSANOW, &raw);
    }
    std::string path = ptsname(master);
    fd_ = master;
    pty_ = true;
    startReader();
    return path;
}

bool CtrlPeer::connectTcp(uint16_t port, int timeoutMs)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof address) == 0) {
            fd_ = fd;
            startReader();
            return true;
        }
        if (fd >= 0)
            close(fd);
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool CtrlPeer::listenTcp(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    listenFd_ = fd;
    return true;
}

bool CtrlPeer::acceptOne(int timeoutMs)
{
    struct pollfd waitFor = {listenFd_, POLLIN, 0};
    if (listenFd_ < 0 || poll(&waitFor, 1, timeoutMs) <= 0)
        return false;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    stopReader();
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
    startReader();
    return true;
}

void CtrlPeer::disconnect()
{
    stopReader();
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
    }
    fd_ = -1;
}

void CtrlPeer::reset()
{
    stopReader();
    if (fd_ >= 0 && !pty_) {
        struct linger abort = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool CtrlPeer::connected()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ && fd_ >= 0;
}

bool CtrlPeer::writeLocked(const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pty_ ? write(fd_, bytes.data() + done, bytes.size() - done)
                         : send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

bool CtrlPeer::sendRaw(const std::vector<uint8_t> &bytes)
{
    return fd_ >= 0 && writeLocked(bytes);
}

bool CtrlPeer::sendPackets(const std::vector<std::vector<uint8_t>> &packets)
{
    std::lock_guard<std::mutex> lock(messageMutex_);
    for (const auto &packet : packets)
        if (!sendRaw(packet))
            return false;
    return true;
}

bool CtrlPeer::sendMessage(uint16_t opcode, const std::vector<uint8_t> &data)
{
    return sendPackets(splitMessage(options_.cardAddress, options_.address, opcode, data));
}

std::vector<Packet> CtrlPeer::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}

std::vector<uint8_t> CtrlPeer::rawBytes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rawBytes_;
}

void CtrlPeer::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.clear();
    rawBytes_.clear();
}

bool CtrlPeer::waitFor(const std::function<bool(const Packet &)> &match, int timeoutMs, Packet *out, size_t from)
{
    std::unique_lock<std::mutex> lock(mutex_);
    size_t checked = from;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (; checked < packets_.size(); checked++) {
            if (match(packets_[checked])) {
                if (out)
                    *out = packets_[checked];
                return true;
            }
        }
        if (changed_.wait_until(lock, until) == std::cv_status::timeout && checked == packets_.size())
            return false;
    }
}

bool CtrlPeer::waitOpcode(uint16_t opcode, int timeoutMs, Packet *out, size_t from)
{
    return waitFor([opcode](const Packet &p) { return p.opcode == opcode; }, timeoutMs, out, from);
}

size_t CtrlPeer::count(uint16_t opcode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto &p : packets_)
        n += p.opcode == opcode;
    return n;
}

void CtrlPeer::nackNext(int n, uint8_t error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    nackCount_ = n;
    nackError_ = error;
}

void CtrlPeer::setAcknowledge(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_.acknowledge = on;
}

void CtrlPeer::startReader()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
    }
    reader_ = std::thread([this] { readerLoop(); });
}

void CtrlPeer::stopReader()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reader_.joinable())
            return;
        running_ = false;
    }
    if (wakeFds_[1] >= 0) {
        char byte = 0;
        if (write(wakeFds_[1], &byte, 1) != 1)
            perror("ctrlpeer wake");
    }
    reader_.join();
    char drain[16];
    struct pollfd wake = {wakeFds_[0], POLLIN, 0};
    while (wakeFds_[0] >= 0 && poll(&wake, 1, 0) > 0 && read(wakeFds_[0], drain, sizeof drain) > 0) {
    }
}

void CtrlPeer::readerLoop()
{
    std::vector<uint8_t> pending;
    for (;;) {
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        int ready = poll(fds, 2, 1000);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!running_)
                break;
        }
        if (ready <= 0)
            continue;
        if (fds[1].revents)
            continue;
        uint8_t buffer[256];
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (pty_ && n < 0 && errno == EIO) {
                /* no slave open yet (or it closed): wait for the card */
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            rawBytes_.insert(rawBytes_.end(), buffer, buffer + n);
        }
        pending.insert(pending.end(), buffer, buffer + n);
        for (;;) {
            /* resynchronise on the start byte (a serial break arrives as a zero byte) */
            size_t start = 0;
            while (start < pending.size() && pending[start] != 0x02)
                start++;
            pending.erase(pending.begin(), pending.begin() + (long)start);
            if (pending.size() < 4)
                break;
            size_t total = (size_t)(pending[3] & 0x3F) + 5;
            if (total < 7) {
                pending.erase(pending.begin());
                continue;
            }
            if (pending.size() < total)
                break;
            Packet packet = parsePacket(std::vector<uint8_t>(pending.begin(), pending.begin() + (long)total));
            pending.erase(pending.begin(), pending.begin() + (long)total);
            onPacket(packet);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    changed_.notify_all();
}

void CtrlPeer::onPacket(const Packet &packet)
{
    bool acknowledge, answer;
    uint8_t nack = 0xFF;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        acknowledge = options_.acknowledge && packet.opcode >= 2;
        answer = options_.answerQueries;
        if (acknowledge && nackCount_ > 0) {
            nackCount_--;
            nack = nackError_;
        }
    }
    /*
     * Acknowledged and answered before it is recorded: whoever sees the packet
     * and then writes to the card writes after our acknowledgement and answer.
     */
    uint8_t card = packet.source ? packet.source : options_.cardAddress;
    if (acknowledge) {
        if (nack == 0xFF)
            sendRaw(buildPacket(card, options_.address, 0x0000, {}));
        else
            sendRaw(buildPacket(card, options_.address, 0x0001, {nack}));
    }
    if (answer && nack == 0xFF)
        answerQuery(card, packet);
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.push_back(packet);
    changed_.notify_all();
}

bool CtrlPeer::answerHeld(uint16_t opcode)
{
    Packet query;
    bool found = false;
    for (const Packet &p : received())
        if (p.opcode == opcode) {
            query = p;
            found = true;
        }
    if (found)
        answerQuery(query.source ? query.source : options_.cardAddress, query, true);
    return found;
}

void CtrlPeer::holdQuery(uint16_t opcode, bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint16_t> &held = options_.held;
    held.erase(std::remove(held.begin(), held.end(), opcode), held.end());
    if (on)
        held.push_back(opcode);
}

void CtrlPeer::answerQuery(uint8_t card, const Packet &packet, bool heldToo)
{
    if (!heldToo) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(options_.held.begin(), options_.held.end(), packet.opcode) != options_.held.end())
            return;
    }
    auto reply = [&](uint16_t opcode, const std::vector<uint8_t> &data) {
        sendPackets({buildPacket(card, options_.address, opcode, data)});
    };
    const Options &o = options_;
    switch (packet.opcode) {
    case 0x101D:
        reply(0x101E, {o.frameType});
        break;
    case 0x3200:
        reply(0x3201, {o.capabilities});
        break;
    case 0x101A:
        reply(0x101B, {o.restorePointConfig});
        break;
    case 0x003C:
        reply(0x003D, std::vector<uint8_t>(o.frameStatus.begin(), o.frameStatus.end()));
        break;
    case 0x100E: {
        int index = !packet.data.empty() && packet.data[0] ? 1 : 0;
        reply(0x100F, std::vector<uint8_t>(o.ipConfig[index].begin(), o.ipConfig[index].end()));
        break;
    }
    case 0x305F:
        reply(0x3060, std::vector<uint8_t>(o.vlan2CardIp.begin(), o.vlan2CardIp.end()));
        break;
    case 0x305D:
        reply(0x305E, {(uint8_t)(o.ftpCommandPort >> 8), (uint8_t)o.ftpCommandPort, (uint8_t)(o.ftpDataPort >> 8),
                       (uint8_t)o.ftpDataPort});
        break;
    case 0x012A: {
        const auto &t = o.time;
        reply(0x012B, {(uint8_t)(t[0] >> 8), (uint8_t)t[0], (uint8_t)t[1], (uint8_t)t[2], (uint8_t)t[3],
                       (uint8_t)t[4], (uint8_t)t[5], (uint8_t)(t[6] >> 8), (uint8_t)t[6]});
        break;
    }
    default:
        break;
    }
}

std::vector<Packet> CtrlPeer::reports()
{
    std::vector<Packet> out;
    for (const Packet &p : received())
        if (p.destination == REPORTS)
            out.push_back(p);
    return out;
}

bool CtrlPeer::pressKey(MenuKey key, uint8_t step)
{
    if (key == MenuKey::PREVIOUS || key == MenuKey::NEXT)
        return sendMessage((uint16_t)key, {step});
    return sendMessage((uint16_t)key);
}

std::vector<Packet> joinMessages(const std::vector<Packet> &packets)
{
    std::vector<Packet> out;
    /* messages still open (their last packet had the more flag), by source and opcode; other packets may come between */
    std::vector<size_t> open;
    for (const Packet &p : packets) {
        auto continued = std::find_if(open.begin(), open.end(), [&](size_t i) {
            return out[i].source == p.source && out[i].opcode == p.opcode;
        });
        if (continued != open.end()) {
            Packet &message = out[*continued];
            message.data.insert(message.data.end(), p.data.begin(), p.data.end());
            message.raw.insert(message.raw.end(), p.raw.begin(), p.raw.end());
            message.more = p.more;
            if (!p.more)
                open.erase(continued);
            continue;
        }
        out.push_back(p);
        if (p.more)
            open.push_back(out.size() - 1);
    }
    return out;
}

std::vector<uint8_t> memBlockData(uint16_t identityB, const std::string &text)
{
    std::vector<uint8_t> data = {(uint8_t)(identityB >> 8), (uint8_t)identityB};
    data.insert(data.end(), text.begin(), text.end());
    return data;
}

std::vector<uint8_t> macData(uint8_t index, const std::string &text)
{
    std::vector<uint8_t> data = {index};
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
    return data;
}

Panel panelOf(const std::vector<Packet> &packets)
{
    Panel panel;
    for (const Packet &p : packets) {
        if (p.opcode == 0x0020) {
            panel = Panel{};
        } else if (p.opcode == 0x0021 && p.data.size() >= 17) {
            std::string text(p.data.begin() + 1, p.data.begin() + 17);
            (p.data[0] == 0x40 ? panel.line2 : panel.line1) = text;
        }
    }
    return panel;
}

} // namespace ctrlpeer
