/*
 * What the remote-mode and server-mode tests share: a pcode recorder, small
 * publishing lists with known bytes, and raw reads from a peer's socket.
 */
#ifndef KVR_TESTS_QVSTCPTESTSUPPORT_H
#define KVR_TESTS_QVSTCPTESTSUPPORT_H

#include "qvsInterface/qvsInterface.h"
#include "qvsPeer.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace qvsTcpTest {

struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> pcodes;
};

inline Received &received()
{
    static Received r;
    return r;
}

inline void pcodeCallback(uint32_t length, const uint8_t *pcode, log4c_category_t *category)
{
    EXPECT_NE(category, nullptr);
    std::lock_guard<std::mutex> lock(received().mutex);
    received().pcodes.emplace_back(pcode, pcode + length);
    received().changed.notify_all();
}

inline bool waitForPcodes(size_t count)
{
    std::unique_lock<std::mutex> lock(received().mutex);
    return received().changed.wait_for(lock, std::chrono::seconds(3),
                                       [&] { return received().pcodes.size() >= count; });
}

inline size_t pcodeCount()
{
    std::lock_guard<std::mutex> lock(received().mutex);
    return received().pcodes.size();
}

inline std::vector<uint8_t> lastPcode()
{
    std::lock_guard<std::mutex> lock(received().mutex);
    return received().pcodes.empty() ? std::vector<uint8_t>() : received().pcodes.back();
}

/*
 * List 0: a relative chunk of 8 bytes at 0 (sent), an absolute one of 4 bytes
 * from byte 16 to the peer's 0x100 (sent), and a relative one of 12 bytes at
 * 32 that is not sent (it still sets the size word to 12).
 * List 1: 6 bytes from byte 100, relative (sent).
 */
inline sharedMemPublishingTable *testLists()
{
    static sharedMemChunk list0[] = {{0, 0, 8, 1}, {16, 0x80000100u, 4, 1}, {32, 0, 12, 0}};
    static sharedMemChunk list1[] = {{100, 0, 6, 1}};
    static sharedMemPublishingList lists[] = {{3, list0}, {1, list1}};
    static sharedMemPublishingTable table = {2, lists};
    return &table;
}

/* Reads exactly `count` raw bytes from the peer's socket within timeoutMs. */
inline std::vector<uint8_t> readRaw(qvsPeer &peer, size_t count, int timeoutMs = 3000)
{
    std::vector<uint8_t> out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                       .count();
        struct pollfd p = {peer.socket, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        uint8_t bytes[8192];
        ssize_t got = recv(peer.socket, bytes, std::min(sizeof bytes, count - out.size()), 0);
        if (got <= 0)
            break;
        out.insert(out.end(), bytes, bytes + got);
    }
    return out;
}

/* The bytes of one notify as list 0 sends them with the buffer holding `bytes` from byte 0. */
inline std::vector<uint8_t> list0Notify(const std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t> out = {0, 0, 0, 8, 0, 0, 0, 0};
    out.insert(out.end(), bytes.begin(), bytes.begin() + 8);
    std::vector<uint8_t> absolute = {0, 0, 0, 4, 0x80, 0, 0x01, 0x00};
    out.insert(out.end(), absolute.begin(), absolute.end());
    out.insert(out.end(), bytes.begin() + 16, bytes.begin() + 20);
    out.insert(out.end(), 8, 0);
    return out;
}

/* The bytes of one notify as list 1 sends them. */
inline std::vector<uint8_t> list1Notify(const std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t> out = {0, 0, 0, 6, 0, 0, 0, 0};
    out.insert(out.end(), bytes.begin() + 100, bytes.begin() + 106);
    out.insert(out.end(), 8, 0);
    return out;
}

/* A pattern written over the first 128 bytes of the buffer. */
inline std::vector<uint8_t> pattern(uint8_t seed)
{
    std::vector<uint8_t> bytes(128);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (uint8_t)(seed + i * 7);
    return bytes;
}

} // namespace qvsTcpTest

#endif
