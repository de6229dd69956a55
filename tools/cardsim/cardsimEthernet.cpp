#include "cardsim/cardsim.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

/*
 * The ethernet-probing driver as the card emulator plays it: a listening
 * sequenced-packet socket at the card root's "/dev/netprobing"; the reader
 * connects and every message it receives is one driver buffer.
 */

namespace {

enum { HEADER = 8, PACKET_HEADER = 34 };

struct {
    std::mutex mutex;
    int listener = -1;
    int reader = -1;
    std::string path;
} ethernet;

void putBe16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    b[at] = (uint8_t)(v >> 8);
    b[at + 1] = (uint8_t)v;
}

void putLe16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

} // namespace

std::vector<uint8_t> cardsimEthernetPacket(const cardsimProbePacket_t &p)
{
    std::vector<uint8_t> b(PACKET_HEADER, 0);
    static const uint8_t addresses[14] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01, 0x00, 0x1B,
                                          0x44, 0x11, 0x3A, 0xB7, 0x88, 0xB5};
    memcpy(b.data(), addresses, sizeof addresses);
    putBe16(b, 14, (uint16_t)(PACKET_HEADER + p.ram.size() + p.fifo.size() + p.frameLengthDelta));
    b[16] = p.vsync;
    b[17] = p.packetCount;
    b[18] = (uint8_t)(p.major << 4);
    b[19] = (uint8_t)(p.type << 2);
    b[20] = (uint8_t)(p.card << 5 | (p.input & 0x1F));
    putLe16(b, 22, (uint16_t)p.ram.size());
    putLe16(b, 24, (uint16_t)p.fifo.size());
    memcpy(&b[26], p.timecode, 8);
    b.insert(b.end(), p.ram.begin(), p.ram.end());
    b.insert(b.end(), p.fifo.begin(), p.fifo.end());
    return b;
}

std::vector<uint8_t> cardsimEthernetBuffer(const std::vector<std::vector<uint8_t>> &packets, int lengthDelta,
                                           uint8_t version)
{
    std::vector<uint8_t> b(HEADER, 0);
    for (const std::vector<uint8_t> &p : packets)
        b.insert(b.end(), p.begin(), p.end());
    uint32_t payload = (uint32_t)((int)(b.size() - HEADER) + lengthDelta);
    putBe16(b, 0, 0xFEFE);
    b[2] = version;
    b[3] = (uint8_t)packets.size();
    b[4] = (uint8_t)(payload >> 24);
    b[5] = (uint8_t)(payload >> 16);
    b[6] = (uint8_t)(payload >> 8);
    b[7] = (uint8_t)payload;
    return b;
}

int cardsimEthernetStart(const char *mac)
{
    if (!halUnderCardRoot())
        return -1;
    cardsimEthernetStop();
    std::string address = halPath("/sys/class/net/eth0/address");
    for (size_t at = address.find('/', 1); at != std::string::npos; at = address.find('/', at + 1))
        mkdir(address.substr(0, at).c_str(), 0755);
    std::ofstream(address) << mac << "\n";
    std::lock_guard<std::mutex> lock(ethernet.mutex);
    ethernet.path = halPath("/dev/netprobing");
    mkdir(halPath("/dev").c_str(), 0755);
    unlink(ethernet.path.c_str());
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (ethernet.path.size() >= sizeof a.sun_path)
        return -1;
    memcpy(a.sun_path, ethernet.path.c_str(), ethernet.path.size());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    ethernet.listener = fd;
    return 0;
}

int cardsimEthernetSend(const std::vector<uint8_t> &buffer, int timeoutMs)
{
    std::lock_guard<std::mutex> lock(ethernet.mutex);
    if (ethernet.listener < 0)
        return -1;
    /* The newest reader wins: take any connection waiting. */
    for (;;) {
        struct pollfd p = {ethernet.listener, POLLIN, 0};
        int wait = ethernet.reader < 0 ? timeoutMs : 0;
        if (poll(&p, 1, wait) <= 0)
            break;
        int reader = accept4(ethernet.listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (reader < 0)
            break;
        if (ethernet.reader >= 0)
            close(ethernet.reader);
        ethernet.reader = reader;
    }
    if (ethernet.reader < 0)
        return -1;
    ssize_t sent = send(ethernet.reader, buffer.data(), buffer.size(), MSG_NOSIGNAL);
    return sent == (ssize_t)buffer.size() ? 0 : -1;
}

void cardsimEthernetStop(void)
{
    std::lock_guard<std::mutex> lock(ethernet.mutex);
    if (ethernet.reader >= 0)
        close(ethernet.reader);
    if (ethernet.listener >= 0)
        close(ethernet.listener);
    ethernet.reader = ethernet.listener = -1;
    if (!ethernet.path.empty())
        unlink(ethernet.path.c_str());
    ethernet.path.clear();
}

void cardsimDiscoverySetUpstream(int card, uint16_t status, const std::vector<uint8_t> &info)
{
    cardsimFpgaSet(CARDSIM_FSM, 0x8E00 + (uint32_t)card, status);
    for (size_t i = 0; i < info.size(); i += 2) {
        uint16_t word = (uint16_t)(info[i] << 8 | (i + 1 < info.size() ? info[i + 1] : 0));
        cardsimFpgaSet(CARDSIM_FSM, 0x9000 + 128 * (uint32_t)card + (uint32_t)(i / 2), word);
    }
}
