/*
 * qvspeer: plays the QVS application on the firmware's local link.
 *
 *   qvspeer pcode CLASS ID [BYTE...]          send a pcode (numbers: decimal or 0x hex)
 *   qvspeer setdevice SLOT DEVICE REG VALUE   send a set-device-register pcode
 *   qvspeer quit                              ask the firmware's receiver to quit
 *   qvspeer read OFFSET COUNT                 print COUNT bytes of the shared memory in hex
 *   qvspeer wait MILLISECONDS                 wait for a notify (exit 1 on time-out)
 */

#include "qvsPeer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void usage(void)
{
    fprintf(stderr, "usage: qvspeer pcode CLASS ID [BYTE...] | setdevice SLOT DEVICE REG VALUE | quit |"
                    " read OFFSET COUNT | wait MILLISECONDS\n");
}

static bool parseNumber(const char *text, unsigned long maximum, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 0);
    if (!*text || *end || errno || value > maximum) {
        fprintf(stderr, "qvspeer: bad number \"%s\"\n", text);
        return false;
    }
    *out = value;
    return true;
}

static int sendPcode(qvsPeer *peer, int argc, char **argv)
{
    unsigned long classCode, pcodeId, byte;
    if (argc < 2 || !parseNumber(argv[0], 255, &classCode) || !parseNumber(argv[1], 255, &pcodeId))
        return 2;
    std::vector<uint8_t> data;
    for (int i = 2; i < argc; i++) {
        if (!parseNumber(argv[i], 255, &byte))
            return 2;
        data.push_back((uint8_t)byte);
    }
    std::vector<uint8_t> pcode = qvsPeerBuildPcode((uint8_t)classCode, (uint8_t)pcodeId, data);
    return peer->transport->sendPcode(peer, pcode.data(), (uint32_t)pcode.size()) == 0 ? 0 : 1;
}

static int sendSetDevice(qvsPeer *peer, int argc, char **argv)
{
    unsigned long slot, device, reg, value;
    if (argc != 4 || !parseNumber(argv[0], 0xFF, &slot) || !parseNumber(argv[1], 0xFFFF, &device) ||
        !parseNumber(argv[2], 0xFFFF, &reg) || !parseNumber(argv[3], 0xFFFFFFFFul, &value))
        return 2;
    std::vector<uint8_t> pcode = qvsPeerBuildSetDevice((uint8_t)slot, (uint16_t)device, (uint16_t)reg, (uint32_t)value);
    return peer->transport->sendPcode(peer, pcode.data(), (uint32_t)pcode.size()) == 0 ? 0 : 1;
}

static int readShared(qvsPeer *peer, int argc, char **argv)
{
    unsigned long offset, count;
    if (argc != 2 || !parseNumber(argv[0], 0xFFFFFFFFul, &offset) || !parseNumber(argv[1], 0xFFFFFFFFul, &count))
        return 2;
    std::vector<uint8_t> bytes(count);
    if (peer->transport->readSharedMem(peer, (uint32_t)offset, bytes.data(), (uint32_t)count) != 0) {
        fprintf(stderr, "qvspeer: range outside the shared memory\n");
        return 1;
    }
    for (size_t i = 0; i < bytes.size(); i++)
        printf("%02x%s", bytes[i], (i + 1) % 16 == 0 || i + 1 == bytes.size() ? "\n" : " ");
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    qvsPeer peer;
    if (qvsPeerOpenLocal(&peer) != 0) {
        perror("qvspeer: cannot open the local QVS link");
        return 1;
    }
    const char *command = argv[1];
    int result = 2;
    unsigned long milliseconds;
    if (strcmp(command, "pcode") == 0)
        result = sendPcode(&peer, argc - 2, argv + 2);
    else if (strcmp(command, "setdevice") == 0)
        result = sendSetDevice(&peer, argc - 2, argv + 2);
    else if (strcmp(command, "quit") == 0)
        result = peer.transport->sendQuit(&peer) == 0 ? 0 : 1;
    else if (strcmp(command, "read") == 0)
        result = readShared(&peer, argc - 2, argv + 2);
    else if (strcmp(command, "wait") == 0 && argc == 3 && parseNumber(argv[2], 600000, &milliseconds))
        result = peer.transport->waitNotify(&peer, (int)milliseconds) == 0 ? 0 : 1;
    if (result == 2)
        usage();
    peer.transport->close(&peer);
    return result;
}
