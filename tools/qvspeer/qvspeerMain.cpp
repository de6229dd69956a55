/*
 * qvspeer: plays the QVS application on the firmware's QVS link.
 *
 *   qvspeer [LINK] COMMAND [COMMAND...]
 *
 * LINK (default: the local link):
 *   -c ADDRESS [-b SOURCE]   connect to the firmware's server mode at ADDRESS:5113, from SOURCE
 *   -l ADDRESS               listen on ADDRESS:5113 and wait for the firmware's remote mode
 * COMMAND, run in order:
 *   pcode CLASS ID [BYTE...]          send a pcode (numbers: decimal or 0x hex)
 *   setdevice SLOT DEVICE REG VALUE   send a set-device-register pcode
 *   quit                              ask the firmware's receiver to quit (local link)
 *   wait MILLISECONDS                 wait for a notify (exit 1 on time-out); over TCP it updates the mirror
 *   read OFFSET COUNT                 print COUNT bytes of the shared memory (TCP: the mirror) in hex
 *   size                              print the size word the firmware announced (TCP)
 */

#include "qvsPeer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

enum { CONNECT_TIMEOUT_MS = 30000 }; /* the firmware may still be starting */

static void usage(void)
{
    fprintf(stderr, "usage: qvspeer [-c ADDRESS [-b SOURCE] | -l ADDRESS] COMMAND...\n"
                    "  COMMAND: pcode CLASS ID [BYTE...] | setdevice SLOT DEVICE REG VALUE | quit |"
                    " wait MILLISECONDS | read OFFSET COUNT | size | await FILE\n");
}

static bool parseNumber(const char *text, unsigned long maximum, unsigned long *out, bool quiet = false)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 0);
    if (!*text || *end || errno || value > maximum) {
        if (!quiet)
            fprintf(stderr, "qvspeer: bad number \"%s\"\n", text);
        return false;
    }
    *out = value;
    return true;
}

/* Each command takes its arguments from argv[*next] on and advances *next. 0 done, 1 failed, 2 usage. */
static int sendPcode(qvsPeer *peer, int argc, char **argv, int *next)
{
    unsigned long classCode, pcodeId, byte;
    if (*next + 2 > argc || !parseNumber(argv[*next], 255, &classCode) ||
        !parseNumber(argv[*next + 1], 255, &pcodeId))
        return 2;
    *next += 2;
    std::vector<uint8_t> data;
    while (*next < argc && parseNumber(argv[*next], 255, &byte, true)) {
        data.push_back((uint8_t)byte);
        ++*next;
    }
    std::vector<uint8_t> pcode = qvsPeerBuildPcode((uint8_t)classCode, (uint8_t)pcodeId, data);
    return peer->transport->sendPcode(peer, pcode.data(), (uint32_t)pcode.size()) == 0 ? 0 : 1;
}

static int sendSetDevice(qvsPeer *peer, int argc, char **argv, int *next)
{
    unsigned long slot, device, reg, value;
    if (*next + 4 > argc || !parseNumber(argv[*next], 0xFF, &slot) || !parseNumber(argv[*next + 1], 0xFFFF, &device) ||
        !parseNumber(argv[*next + 2], 0xFFFF, &reg) || !parseNumber(argv[*next + 3], 0xFFFFFFFFul, &value))
        return 2;
    *next += 4;
    std::vector<uint8_t> pcode = qvsPeerBuildSetDevice((uint8_t)slot, (uint16_t)device, (uint16_t)reg, (uint32_t)value);
    return peer->transport->sendPcode(peer, pcode.data(), (uint32_t)pcode.size()) == 0 ? 0 : 1;
}

static int readShared(qvsPeer *peer, int argc, char **argv, int *next)
{
    unsigned long offset, count;
    if (*next + 2 > argc || !parseNumber(argv[*next], 0xFFFFFFFFul, &offset) ||
        !parseNumber(argv[*next + 1], 0xFFFFFFul, &count))
        return 2;
    *next += 2;
    std::vector<uint8_t> bytes(count);
    if (peer->transport->readSharedMem(peer, (uint32_t)offset, bytes.data(), (uint32_t)count) != 0) {
        fprintf(stderr, "qvspeer: range outside the shared memory\n");
        return 1;
    }
    for (size_t i = 0; i < bytes.size(); i++)
        printf("%02x%s", bytes[i], (i + 1) % 16 == 0 || i + 1 == bytes.size() ? "\n" : " ");
    return 0;
}

static int waitNotify(qvsPeer *peer, int argc, char **argv, int *next)
{
    unsigned long milliseconds;
    if (*next >= argc || !parseNumber(argv[*next], 600000, &milliseconds))
        return 2;
    ++*next;
    return peer->transport->waitNotify(peer, (int)milliseconds) == 0 ? 0 : 1;
}

/* Holds the link until FILE exists (at most 30 s), so a test can say when the firmware is ready. */
static int awaitFile(int argc, char **argv, int *next)
{
    if (*next >= argc)
        return 2;
    const char *path = argv[(*next)++];
    for (int i = 0; i < 3000; i++) {
        if (access(path, F_OK) == 0)
            return 0;
        usleep(10000);
    }
    fprintf(stderr, "qvspeer: %s did not appear\n", path);
    return 1;
}

/* Opens the link chosen by the options before the first command; *next is the first command. */
static int openLink(qvsPeer *peer, int argc, char **argv, int *next)
{
    const char *connectTo = nullptr, *source = nullptr, *listenOn = nullptr;
    while (*next + 1 < argc && argv[*next][0] == '-') {
        const char *option = argv[*next];
        const char *value = argv[*next + 1];
        if (strcmp(option, "-c") == 0)
            connectTo = value;
        else if (strcmp(option, "-b") == 0)
            source = value;
        else if (strcmp(option, "-l") == 0)
            listenOn = value;
        else
            return 2;
        *next += 2;
    }
    if (connectTo && listenOn)
        return 2;
    if (connectTo) {
        if (qvsPeerConnectTcp(peer, connectTo, QVS_PEER_TCP_PORT, source, CONNECT_TIMEOUT_MS) != 0) {
            perror("qvspeer: cannot connect to the firmware");
            return 1;
        }
        return 0;
    }
    if (listenOn) {
        if (qvsPeerListenTcp(peer, listenOn, QVS_PEER_TCP_PORT) != 0 ||
            qvsPeerAcceptTcp(peer, CONNECT_TIMEOUT_MS) != 0) {
            perror("qvspeer: the firmware did not connect");
            return 1;
        }
        return 0;
    }
    if (qvsPeerOpenLocal(peer) != 0) {
        perror("qvspeer: cannot open the local QVS link");
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    qvsPeer peer;
    int next = 1;
    int result = openLink(&peer, argc, argv, &next);
    if (result == 0 && next >= argc)
        result = 2;
    while (result == 0 && next < argc) {
        const char *command = argv[next++];
        if (strcmp(command, "pcode") == 0)
            result = sendPcode(&peer, argc, argv, &next);
        else if (strcmp(command, "setdevice") == 0)
            result = sendSetDevice(&peer, argc, argv, &next);
        else if (strcmp(command, "quit") == 0)
            result = peer.transport->sendQuit(&peer) == 0 ? 0 : 1;
        else if (strcmp(command, "read") == 0)
            result = readShared(&peer, argc, argv, &next);
        else if (strcmp(command, "wait") == 0)
            result = waitNotify(&peer, argc, argv, &next);
        else if (strcmp(command, "await") == 0)
            result = awaitFile(argc, argv, &next);
        else if (strcmp(command, "size") == 0)
            printf("%u\n", (unsigned)peer.announcedSize);
        else
            result = 2;
    }
    if (result == 2)
        usage();
    if (peer.transport)
        peer.transport->close(&peer);
    return result;
}
