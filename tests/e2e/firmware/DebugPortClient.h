#ifndef KVR_TESTS_DEBUGPORTCLIENT_H
#define KVR_TESTS_DEBUGPORTCLIENT_H

/* A client of the daemon's debug port (TCP 8989) that reads device registers back. */

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "utils/utils.h"

namespace firmwareTest {

/* Debug-port read of `count` registers: header, CRC-16 of its first 8 bytes, then ACK and big-endian words. */
inline std::vector<uint16_t> readRegisters(int fd, uint8_t device, uint32_t address, uint8_t count)
{
    std::vector<uint8_t> h = {0x7F, 1, device, (uint8_t)(address >> 24), (uint8_t)(address >> 16),
                              (uint8_t)(address >> 8), (uint8_t)address, count};
    uint16_t crc = crc16Ccitt(h.data(), h.size());
    h.push_back((uint8_t)(crc >> 8));
    h.push_back((uint8_t)crc);
    if (write(fd, h.data(), h.size()) != (ssize_t)h.size())
        return {};
    std::vector<uint8_t> reply(1 + 2 * (size_t)count);
    size_t got = 0;
    while (got < reply.size()) {
        ssize_t n = read(fd, reply.data() + got, reply.size() - got);
        if (n <= 0)
            return {};
        got += (size_t)n;
    }
    if (reply[0] != 0x00)
        return {};
    std::vector<uint16_t> words;
    for (size_t i = 0; i < count; i++)
        words.push_back((uint16_t)(reply[1 + 2 * i] << 8 | reply[2 + 2 * i]));
    return words;
}

/* Debug-port write of big-endian `words` from `address`: header, CRC-16 of its first 8 bytes, the data; true on ACK. */
inline bool writeRegisters(int fd, uint8_t device, uint32_t address, const std::vector<uint16_t> &words)
{
    std::vector<uint8_t> h = {0x7F, 2, device, (uint8_t)(address >> 24), (uint8_t)(address >> 16),
                              (uint8_t)(address >> 8), (uint8_t)address, (uint8_t)words.size()};
    uint16_t crc = crc16Ccitt(h.data(), h.size());
    h.push_back((uint8_t)(crc >> 8));
    h.push_back((uint8_t)crc);
    for (uint16_t word : words) {
        h.push_back((uint8_t)(word >> 8));
        h.push_back((uint8_t)word);
    }
    if (write(fd, h.data(), h.size()) != (ssize_t)h.size())
        return false;
    uint8_t reply = 0xFF;
    return read(fd, &reply, 1) == 1 && reply == 0x00;
}

/* Connects to the debug port (retrying for about 5 s); -1 when it does not answer. */
inline int connectDebugPort()
{
    for (int attempt = 0; attempt < 100; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(8989);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, (sockaddr *)&address, sizeof address) == 0) {
            timeval timeout = {5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

} // namespace firmwareTest

#endif
