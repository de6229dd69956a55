/*
 * ctrlpeer: plays the frame controller (or the QVS side of the bridge) for a card.
 *   ctrlpeer --connect PORT | --listen PORT | --pty  [--state N] [--send OPCODE[:HEX]]... [--key MENUKEY]...
 *            [--seconds N] [--quiet-acks]
 * MENUKEY: open, close, previous, next, enter or back (one step).
 * Prints every packet the card sends, one per line.
 */

#include "ctrlPeer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

static std::vector<uint8_t> parseHex(const char *text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        bytes.push_back((uint8_t)strtoul(pair, nullptr, 16));
    }
    return bytes;
}

int main(int argc, char **argv)
{
    ctrlpeer::CtrlPeer::Options options;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> sends;
    enum { NONE, CONNECT, LISTEN, PTY } mode = NONE;
    int port = 0, seconds = 10, state = -1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--connect" && i + 1 < argc) {
            mode = CONNECT;
            port = atoi(argv[++i]);
        } else if (a == "--listen" && i + 1 < argc) {
            mode = LISTEN;
            port = atoi(argv[++i]);
        } else if (a == "--pty") {
            mode = PTY;
        } else if (a == "--state" && i + 1 < argc) {
            state = atoi(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = atoi(argv[++i]);
        } else if (a == "--key" && i + 1 < argc) {
            static const struct {
                const char *name;
                uint16_t opcode;
            } keys[] = {{"open", 0x0005}, {"close", 0x0006}, {"previous", 0x0024},
                        {"next", 0x0025},  {"enter", 0x0026}, {"back", 0x0027}};
            std::string key = argv[++i];
            bool known = false;
            for (const auto &k : keys) {
                if (key == k.name) {
                    bool stepped = k.opcode == 0x0024 || k.opcode == 0x0025;
                    sends.emplace_back(k.opcode, stepped ? std::vector<uint8_t>{1} : std::vector<uint8_t>());
                    known = true;
                }
            }
            if (!known) {
                fprintf(stderr, "ctrlpeer: unknown key %s (open, close, previous, next, enter, back)\n", key.c_str());
                return 2;
            }
        } else if (a == "--quiet-acks") {
            options.acknowledge = false;
        } else if (a == "--send" && i + 1 < argc) {
            const char *request = argv[++i];
            const char *colon = strchr(request, ':');
            sends.emplace_back((uint16_t)strtoul(request, nullptr, 16), colon ? parseHex(colon + 1) : std::vector<uint8_t>());
        } else {
            fprintf(stderr, "usage: ctrlpeer --connect PORT | --listen PORT | --pty [--state N] "
                            "[--send OPCODE[:HEX]]... [--key MENUKEY]... [--seconds N] [--quiet-acks]\n");
            return 2;
        }
    }
    ctrlpeer::CtrlPeer peer(options);
    if (mode == CONNECT && !peer.connectTcp((uint16_t)port, 5000)) {
        fprintf(stderr, "ctrlpeer: cannot connect to 127.0.0.1:%d\n", port);
        return 1;
    }
    if (mode == LISTEN && (!peer.listenTcp((uint16_t)port) || !peer.acceptOne(seconds * 1000))) {
        fprintf(stderr, "ctrlpeer: no connection on 127.0.0.1:%d\n", port);
        return 1;
    }
    if (mode == PTY)
        printf("pty %s\n", peer.openPty().c_str());
    if (mode == NONE) {
        fprintf(stderr, "ctrlpeer: choose --connect, --listen or --pty\n");
        return 2;
    }
    fflush(stdout);
    if (state >= 0)
        peer.sendMessage(0x000C, {(uint8_t)state});
    for (const auto &s : sends)
        peer.sendMessage(s.first, s.second);
    size_t shown = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        peer.waitFor([](const ctrlpeer::Packet &) { return true; }, 200, nullptr, shown);
        auto packets = peer.received();
        for (; shown < packets.size(); shown++)
            printf("%s\n", ctrlpeer::describe(packets[shown]).c_str());
        fflush(stdout);
    }
    return 0;
}
