#ifndef KVR_TOOLS_CTRLPEER_H
#define KVR_TOOLS_CTRLPEER_H

/*
 * A frame-controller peer for the card's packet link, and the QVS-side peer of
 * the card's bridge. It speaks the link's packets (0x02, destination, source,
 * length with the more-packets flag 0x40, big-endian opcode, up to 57 data
 * bytes, 8-bit sum; framed and checked by the firmware's strataFramePacket
 * and strataChecksum) over a pseudo-terminal standing in for the serial line,
 * as a TCP client of the card's debug server, or as a TCP server the card
 * connects to (the local proxy on 5102, the QVS application on 5101).
 *
 * A reader thread records every packet it receives; as the controller it can
 * acknowledge the card's packets and answer the card's queries (frame type,
 * capabilities, IP settings, time, restore-point configuration, frame status,
 * VLAN2 address). All methods may be called from any thread.
 */

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ctrlpeer {

enum : uint8_t { CONTROLLER = 0x15, REPORTS = 0x18 };

/* One received packet. */
struct Packet {
    uint8_t destination = 0;
    uint8_t source = 0;
    bool more = false;
    uint16_t opcode = 0;
    std::vector<uint8_t> data;
    std::vector<uint8_t> raw;
    bool checksumOk = true;
};

/* One packet, framed by the card's own framing (strataFramePacket); empty when `data` has more than 57 bytes. */
std::vector<uint8_t> buildPacket(uint8_t destination, uint8_t source, uint16_t opcode,
                                 const std::vector<uint8_t> &data, bool more = false);
/* A whole message as the packets the link sends (57 data bytes each, more flag on all but the last). */
std::vector<std::vector<uint8_t>> splitMessage(uint8_t destination, uint8_t source, uint16_t opcode,
                                               const std::vector<uint8_t> &data);
/* Parses a complete packet (no checks beyond its length). */
Packet parsePacket(const std::vector<uint8_t> &raw);
/* "OPCODE dst src [data hex]" for logs. */
std::string describe(const Packet &packet);
/* Joins the packets of each multi-packet message (more flag set on all but the last) into one. */
std::vector<Packet> joinMessages(const std::vector<Packet> &packets);

/* Data of the controller's settings: SET_MEM_BLOCK (identity word B, then the text) and SET_ETH_CONFIG_MAC. */
std::vector<uint8_t> memBlockData(uint16_t identityB, const std::string &text);
std::vector<uint8_t> macData(uint8_t index, const std::string &text);

/*
 * A controller that has stopped reading. `silentSocket` makes a TCP socket with
 * small buffers (set before it connects or listens, so the card's writes soon
 * find no room); -1 on failure. `floodUntilStalled` makes the connected `fd`
 * non-blocking and writes `packet` over and over until the card has taken
 * nothing for `stallMs` (1), the connection ended (0), or `timeoutMs` passed (-1).
 * It never reads.
 */
int silentSocket();
int floodUntilStalled(int fd, const std::vector<uint8_t> &packet, int stallMs, int timeoutMs);

/* The keys of the card menu's dialog, as the controller's panel sends them. */
enum class MenuKey : uint16_t { OPEN = 0x0005, CLOSE = 0x0006, PREVIOUS = 0x0024, NEXT = 0x0025, ENTER = 0x0026,
                                BACK = 0x0027 };

/* The two lines of the controller's panel as the card last drew them (16 characters each). */
struct Panel {
    std::string line1;
    std::string line2;
};
/* Replays the card's display messages (0x0021: attribute 0x00 line 1, 0x40 line 2; 0x0020 clears). */
Panel panelOf(const std::vector<Packet> &packets);

class CtrlPeer {
public:
    struct Options {
        bool acknowledge = true;      /* ACK every card packet with an opcode of 2 or more */
        bool answerQueries = true;    /* answer the card's queries */
        uint8_t address = CONTROLLER; /* our own address */
        uint8_t cardAddress = 0x21;   /* destination of what we send */
        uint8_t frameType = 2;
        uint8_t capabilities = 1;
        uint8_t restorePointConfig = 1;
        std::array<uint8_t, 8> frameStatus{{0x00, 0x03, 0x3F, 0x3F, 0x00, 0, 0, 0}};
        /* IP_CONFIG_v2 data of interfaces 0 and 1 (20 bytes: interface, 0, address, netmask, gateway, MAC). */
        std::array<std::array<uint8_t, 20>, 2> ipConfig{{
            {{0, 0, 10, 0, 0, 21, 255, 255, 255, 0, 10, 0, 0, 1, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
            {{1, 0, 10, 1, 0, 21, 255, 255, 255, 0, 10, 1, 0, 1, 0x00, 0x11, 0x22, 0x33, 0x44, 0x56}},
        }};
        /* TIME_V3 answer: year, month, day, hour, minute, second, ms. */
        std::array<uint16_t, 7> time{{2026, 12, 10, 12, 30, 45, 250}};
        /* VLAN2_CARD_IP answer: device class, three prefix bytes, number of cards, the card's byte. */
        std::array<uint8_t, 6> vlan2CardIp{{0, 10, 2, 3, 1, 21}};
        /* FTP_UPGRADE_PORTS answer (command and data port). */
        uint16_t ftpCommandPort = 21;
        uint16_t ftpDataPort = 2121;
        /* Queries (by their opcode) left unanswered until answerHeld() names them. */
        std::vector<uint16_t> held;
    };

    CtrlPeer();
    explicit CtrlPeer(const Options &options);
    ~CtrlPeer();
    CtrlPeer(const CtrlPeer &) = delete;
    CtrlPeer &operator=(const CtrlPeer &) = delete;

    /* Opens a pseudo-terminal; returns the path the card opens ("" on failure). */
    std::string openPty();
    /* Connects to 127.0.0.1:port, retrying until timeoutMs has passed. */
    bool connectTcp(uint16_t port, int timeoutMs);
    /* Listens on 127.0.0.1:port and accepts one connection within timeoutMs (the reader then runs). */
    bool listenTcp(uint16_t port);
    bool acceptOne(int timeoutMs);
    /* Closes the current connection (the listener stays). */
    void disconnect();
    /* Drops the current connection with a TCP reset (SO_LINGER 0), whatever is unread. */
    void reset();

    /* Writes raw bytes. false when not connected or the write failed. */
    bool sendRaw(const std::vector<uint8_t> &bytes);
    /*
     * Writes packets back to back: our answers to the card's queries never come
     * between them (our acknowledgements of the card's packets may, as a
     * controller's do).
     */
    bool sendPackets(const std::vector<std::vector<uint8_t>> &packets);
    /* Sends a message from our address to the card (split as the link does), its packets back to back. */
    bool sendMessage(uint16_t opcode, const std::vector<uint8_t> &data = {});

    /* Every packet received so far. */
    std::vector<Packet> received();
    void clear();
    /* Waits until a received packet at or after index `from` matches; copies it to *out. */
    bool waitFor(const std::function<bool(const Packet &)> &match, int timeoutMs, Packet *out = nullptr,
                 size_t from = 0);
    bool waitOpcode(uint16_t opcode, int timeoutMs, Packet *out = nullptr, size_t from = 0);
    /* Number of received packets with this opcode. */
    size_t count(uint16_t opcode);
    /* The card's unsolicited reports (packets to the report address 0x18), in order. */
    std::vector<Packet> reports();
    /* Plays one key of the menu dialog (step for PREVIOUS and NEXT). */
    bool pressKey(MenuKey key, uint8_t step = 1);
    /*
     * Answers the last query received with this opcode (one of Options::held)
     * as the options say; false when none was received.
     */
    bool answerHeld(uint16_t opcode);
    /* Holds the answers to a query from now on (on), or answers it again as the options say (off). */
    void holdQuery(uint16_t opcode, bool on);
    /* Answer the next n acknowledged packets with NACK `error` instead of ACK. */
    void nackNext(int n, uint8_t error);
    void setAcknowledge(bool on);
    /* Raw bytes read so far (serial break and garbage included). */
    std::vector<uint8_t> rawBytes();
    bool connected();

private:
    void startReader();
    void stopReader();
    void readerLoop();
    void onPacket(const Packet &packet);
    void answerQuery(uint8_t card, const Packet &packet, bool heldToo = false);
    bool writeLocked(const std::vector<uint8_t> &bytes);

    Options options_;
    int fd_ = -1;
    int listenFd_ = -1;
    bool pty_ = false;
    std::thread reader_;
    bool running_ = false;
    std::mutex mutex_;
    std::mutex writeMutex_;
    std::mutex messageMutex_; /* held for the packets of one message */
    std::condition_variable changed_;
    std::vector<Packet> packets_;
    std::vector<uint8_t> rawBytes_;
    int nackCount_ = 0;
    uint8_t nackError_ = 0;
    int wakeFds_[2] = {-1, -1};
};

} // namespace ctrlpeer

#endif
