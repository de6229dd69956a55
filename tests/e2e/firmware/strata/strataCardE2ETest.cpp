/*
 * The card's side of the frame-controller link in the real kvr-firmware with
 * the card emulator (-e on a card root), in private IPC and network
 * namespaces: for cards in slots A-F, of hardware types 0-5, in frame types
 * 0-3, on a VLAN or not, the controller peer (over the debug server's TCP port
 * or a pseudo-terminal standing in for the serial line) sees the card's
 * identity, its MEM_BLOCK text, its menu (cards C-F) opened by the controller
 * and by the card's button, and a changed MEM_BLOCK written back.
 */

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "../DaemonTestSupport.h"
#include "cardsim/cardsim.h"
#include "ctrlPeer.h"
#include "qvsPeer.h"
#include "../DebugPortClient.h"

using firmwareTest::readFile;
using ctrlpeer::Packet;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t DEBUG_SERVER_PORT = 5100;
constexpr uint16_t ACK = 0x0000, NACK = 0x0001, MENU = 0x0005, COMM_STATE = 0x000C, DEV_ID = 0x0013,
                   MEM_BLOCK_REQUEST = 0x0014, MEM_BLOCK = 0x0015, SET_MEM_BLOCK = 0x0016, LINE = 0x0021,
                   GET_TIME_V3 = 0x012A, LINK_TEST = 0x0010, LINK_TEST_ANSWER = 0x0011;

struct CardCase {
    const char *name;
    int slot;
    int hwType;
    int frameType;
    bool vlan;
    bool serial; /* the pseudo-terminal; else the debug server */
    uint8_t identityA, identityB;
    const char *model;
    const char *label; /* null: the QVS application shows the menu */
    const char *memBlock;
};

const char *const ENV[] = {"ipaddr=10.0.0.21", "netmask=255.255.255.0", "gatewayip=10.0.0.1",
                           "frameipaddr=10.0.0.2", "sfp1disable=0", "sfp2disable=0", "ipaddrvlan2=169.254.2.14",
                           "vlan2netmask=255.255.255.0", "cpuEth3HasVlan=0"};

const CardCase CASES[] = {
    {"slot A, type 0, frame 0", 0, 0, 0, false, true, 0xA9, 0x81, "QMR-1100", nullptr,
     "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nframeipaddr=10.0.0.2\nsfp1disable=0\n"
     "sfp2disable=0\n"},
    {"slot B, type 1, frame 1, VLAN", 1, 1, 1, true, false, 0xB7, 0x89, "QMR-1200", nullptr,
     "sfp1disable=0\nsfp2disable=0\n"},
    {"slot C, type 2, frame 2", 2, 2, 2, false, false, 0xA9, 0x81, "QMR-1100", "QMR-1100-C",
     "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nsfp1disable=0\nsfp2disable=0\n"},
    {"slot D, type 4, frame 3, VLAN", 3, 4, 3, true, true, 0xA9, 0x81, "QMR-1300", "QMR-1300-D SLOT 14",
     "sfp1disable=0\nsfp2disable=0\n"},
    {"slot E, type 3, frame 2", 4, 3, 2, false, true, 0xB7, 0x89, "QMR-UNK ", "QMR-UNK -E",
     "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nsfp1disable=0\nsfp2disable=0\n"},
    {"slot F, type 5, frame 0", 5, 5, 0, false, false, 0xB7, 0x89, "QMR-1400", "QMR-1400-F",
     "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nsfp1disable=0\nsfp2disable=0\n"},
    {"slot C, type 2, frame 1", 2, 2, 1, false, true, 0xB7, 0x89, "QMR-1100", "QMR-1100-C",
     "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nsfp1disable=0\nsfp2disable=0\n"},
};

std::string describeAll(const std::vector<Packet> &packets)
{
    std::string text;
    for (const Packet &p : packets)
        text += ctrlpeer::describe(p) + "\n";
    return text;
}

/* A marquee frame: a display line of 17 bytes (the drawn lines have 18). */
bool isMarqueeFrame(const Packet &p)
{
    return p.opcode == 0x0021 && p.data.size() == 17;
}

/* The drawn lines and the rest, without the marquee frames. */
std::vector<Packet> withoutMarquee(const std::vector<Packet> &packets)
{
    std::vector<Packet> out;
    for (const Packet &p : packets)
        if (!isMarqueeFrame(p))
            out.push_back(p);
    return out;
}

/* The first message with this opcode (opcode 0xFFFF and no data when there is none). */
Packet find(const std::vector<Packet> &packets, uint16_t opcode)
{
    for (const Packet &p : packets)
        if (p.opcode == opcode)
            return p;
    Packet none;
    none.opcode = 0xFFFF;
    return none;
}

size_t countOf(const std::vector<Packet> &packets, uint16_t opcode)
{
    return (size_t)std::count_if(packets.begin(), packets.end(), [&](const Packet &p) { return p.opcode == opcode; });
}

void PrintTo(const CardCase &c, std::ostream *out)
{
    *out << c.name;
}

/* The daemon on a card root of one card, its controller connected and the link at state 3. */
class StrataDaemon {
protected:
    /*
     * `held`: the controller's answers to these queries wait until the test gives them (answerHeld).
     * `tweak` changes the controller's options; `before` runs on the prepared card root, before the start.
     */
    void startCard(const CardCase &c, bool timeUpdates, const std::vector<uint16_t> &held = {},
                   const std::function<void(ctrlpeer::CtrlPeer::Options &)> &tweak = {},
                   const std::function<void()> &before = {})
    {
        firmwareTest::makeCardRoot(dir, log(), {"root/etc", "root/dev", "root/sbin", "root/tmp", "root/data"});
        mkdir((dir / "root/var/lock").c_str(), 0755);
        firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "strata"});
        std::ofstream(dir / "root/etc/cardsim.conf")
            << "slot=" << c.slot << "\ncardType=" << c.hwType << "\nframeType=" << c.frameType << "\n";
        if (c.vlan)
            std::ofstream(dir / "root/etc/cardsim-vlan").close();
        /* the boot environment and the button node, written as the card emulator lays them out */
        setenv("KVR_ROOT", (dir / "root").c_str(), 1);
        ASSERT_EQ(cardsimFlashWrite(std::vector<std::string>(std::begin(ENV), std::end(ENV)), 0x1000, 0), 0);
        ASSERT_EQ(cardsimButtonCreate(), 0);
        unsetenv("KVR_ROOT");
        ctrlpeer::CtrlPeer::Options options;
        /* the controller agrees with the card's VLAN address: no reboot */
        options.vlan2CardIp = {{0, 169, 254, 2, 1, 14}};
        options.frameType = (uint8_t)c.frameType;
        options.capabilities = 0;
        options.held = held;
        if (tweak)
            tweak(options);
        peer.reset(new ctrlpeer::CtrlPeer(options));
        if (c.serial) {
            std::string pty = peer->openPty();
            ASSERT_FALSE(pty.empty());
            ASSERT_EQ(symlink(pty.c_str(), (dir / "root/dev/ttyO1").c_str()), 0);
        } else {
            setenv("USE_NETWORK", "1", 1);
        }
        if (!timeUpdates)
            setenv("DISABLE_TIME_UPDATE", "TRUE", 1);
        if (before)
            before();
        pid = firmwareTest::startEmulatedDaemon(dir);
        unsetenv("USE_NETWORK");
        unsetenv("DISABLE_TIME_UPDATE");
        if (!c.serial) {
            ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "using socket in debug mode", 1, 20000)) << readFile(log());
            ASSERT_TRUE(peer->connectTcp(DEBUG_SERVER_PORT, 20000));
        }
        ASSERT_TRUE(peer->waitOpcode(DEV_ID, 20000, &devId)) << readFile(log());
        size_t from = peer->received().size();
        peer->sendMessage(COMM_STATE, {3});
        ASSERT_TRUE(peer->waitOpcode(ACK, 20000, nullptr, from));
    }
    void stop()
    {
        firmwareTest::stopDaemon(dir, pid);
        peer.reset();
    }
    std::string log() { return dir / "firmware.log"; }

    /*
     * The card's messages from `from` on, up to the answer to a link test
     * (0x0010) sent after them: the card handles the controller's messages in
     * order, and what it answers them (the MEM_BLOCK text, the menu's lines,
     * acknowledgements) leaves in that order, so what is not before that answer
     * was never sent.
     */
    std::vector<Packet> untilLinkTest(size_t from)
    {
        size_t sentAt = peer->received().size();
        EXPECT_TRUE(peer->sendMessage(LINK_TEST));
        Packet answer;
        if (!peer->waitOpcode(LINK_TEST_ANSWER, 20000, &answer, sentAt)) {
            ADD_FAILURE() << "the card did not answer the link test\n" << readFile(log());
            return {};
        }
        auto all = peer->received();
        size_t end = sentAt;
        while (end < all.size() && all[end].opcode != LINK_TEST_ANSWER)
            end++;
        std::vector<Packet> mine;
        /* the controller monitor's own queries come and go beside the answers */
        static const uint16_t monitorQueries[] = {GET_TIME_V3, 0x101D, 0x3200, 0x101A, 0x003C, 0x100E, 0x305F};
        for (size_t i = from; i < end; i++) {
            bool query = std::find(std::begin(monitorQueries), std::end(monitorQueries), all[i].opcode) !=
                         std::end(monitorQueries);
            if (all[i].destination != ctrlpeer::REPORTS && !query)
                mine.push_back(all[i]);
        }
        return ctrlpeer::joinMessages(mine);
    }
    std::vector<Packet> exchange(uint16_t opcode, const Bytes &data = {})
    {
        size_t from = peer->received().size();
        peer->sendMessage(opcode, data);
        return untilLinkTest(from);
    }

    TempDir dir;
    pid_t pid = -1;
    std::unique_ptr<ctrlpeer::CtrlPeer> peer;
    Packet devId;
};

class StrataCard : public ::testing::TestWithParam<CardCase>, public StrataDaemon {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        startCard(GetParam(), false);
    }
    void TearDown() override { stop(); }
};

TEST_P(StrataCard, IdentityMemBlockAndMenu)
{
    const CardCase &c = GetParam();
    /* DEV_ID: identity words and the model name */
    ASSERT_EQ(devId.data.size(), 15u);
    EXPECT_EQ(devId.data[0], 0x00);
    EXPECT_EQ(devId.data[1], c.identityA);
    EXPECT_EQ(devId.data[2], 0x00);
    EXPECT_EQ(devId.data[3], c.identityB);
    EXPECT_EQ(std::string(devId.data.begin() + 6, devId.data.begin() + 14), c.model);

    /* the MEM_BLOCK text of the list the slot and the VLAN choose */
    /* (the card also acknowledges the controller's answers to its monitor's queries) */
    auto got = exchange(MEM_BLOCK_REQUEST);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].opcode, ACK) << describeAll(got);
    Packet text = find(got, MEM_BLOCK);
    EXPECT_EQ(std::string(text.data.begin(), text.data.end()), c.memBlock) << describeAll(got);

    /* the menu: drawn by the firmware on cards C-F only */
    got = exchange(MENU);
    if (!c.label) {
        for (const Packet &p : got)
            EXPECT_NE(p.opcode, LINE);
        return;
    }
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].opcode, ACK);
    std::string label = c.label;
    std::string first = (label + std::string(16, ' ')).substr(0, 16);
    ctrlpeer::Panel panel = ctrlpeer::panelOf(withoutMarquee(got));
    EXPECT_EQ(panel.line1, first);
    EXPECT_EQ(panel.line2.substr(0, 3), "FW ");
    if (label.size() > 16) {
        /* the title scrolls: every frame is a 16-character window of "<label> - " */
        std::string cycle = label + " - ";
        std::string twice = cycle + cycle;
        size_t from = peer->received().size();
        /* wait for two frames (the limit only ends a test whose frames never come) */
        std::vector<Packet> all;
        size_t frames = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (frames < 2 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            all = peer->received();
            frames = (size_t)std::count_if(all.begin() + (long)std::min(from, all.size()), all.end(),
                                           [](const Packet &p) { return isMarqueeFrame(p) && p.data[0] == 0x00; });
        }
        for (size_t i = from; i < all.size(); i++) {
            if (!isMarqueeFrame(all[i]) || all[i].data[0] != 0x00)
                continue;
            std::string shown(all[i].data.begin() + 1, all[i].data.end());
            EXPECT_NE(twice.find(shown), std::string::npos) << shown;
        }
        EXPECT_GE(frames, 2u);
    }
    /* next key: the update version item */
    size_t from = peer->received().size();
    peer->pressKey(ctrlpeer::MenuKey::NEXT, 1);
    panel = ctrlpeer::panelOf(withoutMarquee(untilLinkTest(from)));
    EXPECT_EQ(panel.line2.substr(0, 7), "Update ");
    /* the dialog's timer callback was registered at the open; the key's event asks again and is ignored */
    EXPECT_EQ(firmwareTest::logCount(log(), "registerTimerListener IN"), 2u);
    EXPECT_EQ(firmwareTest::logCount(log(), "registerTimerListener registerTimerListener was called already. Ignored"),
              1u);
    /* a second 0x0005 closes the dialog silently; the button opens it again */
    got = withoutMarquee(exchange(MENU));
    EXPECT_GE(countOf(got, ACK), 1u) << describeAll(got);
    EXPECT_EQ(countOf(got, LINE), 0u) << describeAll(got);
    from = peer->received().size();
    int fd = open((dir / "root/dev/uio0").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    uint32_t count = 1;
    ASSERT_EQ(write(fd, &count, sizeof count), (ssize_t)sizeof count);
    close(fd);
    /* the button's listener draws on its own thread: its last line ("FW ..." on line 2) first */
    ASSERT_TRUE(peer->waitFor(
        [](const Packet &p) {
            return p.opcode == LINE && p.data.size() == 18 && p.data[0] == 0x40 && p.data[1] == 'F' && p.data[2] == 'W';
        },
        20000, nullptr, from))
        << readFile(log());
    panel = ctrlpeer::panelOf(withoutMarquee(untilLinkTest(from)));
    EXPECT_EQ(panel.line1, first);
    EXPECT_EQ(panel.line2.substr(0, 3), "FW ");
}

TEST_P(StrataCard, ChangedMemBlockIsWrittenAndRebootsOnlyOffAVlan)
{
    const CardCase &c = GetParam();
    std::string text = std::string(c.memBlock);
    /* a new value for the first key of the list, and an invalid netmask that is refused */
    std::string key = text.substr(0, text.find('='));
    std::string changed = key + "=" + (key == "ipaddr" ? "10.0.0.99" : "1") + "\nnetmask=255.255.255\n";
    auto got = exchange(SET_MEM_BLOCK, ctrlpeer::memBlockData(c.identityB, changed));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].opcode, ACK);
    EXPECT_EQ(countOf(got, NACK), 0u) << describeAll(got);
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "writing in flash " + key + "=", 1, 20000)) << readFile(log());
    if (!c.vlan) {
        EXPECT_TRUE(firmwareTest::waitForLogIn(log(), "The key netmask does not have a valid ip addr as value "
                                                      "255.255.255!", 1, 20000));
    } else {
        EXPECT_TRUE(firmwareTest::waitForLogIn(log(), "Ignoring property 'netmask' since it is not known", 1, 20000));
    }
    /* The reboot is decided (and logged) after the compare, and its program runs after that. */
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "environment variables are different from strata MEM_BLOCK", 1, 20000))
        << readFile(log());
    const std::string standInsLog = dir / "root/var/log/standins.log";
    const std::string halLog = dir / "root/var/log/hal.log";
    if (!c.vlan) {
        EXPECT_TRUE(firmwareTest::waitForLogIn(standInsLog, "reboot", 1, 20000)) << readFile(standInsLog);
    } else if (c.slot >= 2) {
        /* Cards C-F on a VLAN never reboot for it: not even once the controller monitor is past its VLAN-2 query. */
        ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "Will be start polling controller for status data!", 1, 30000));
        EXPECT_EQ(readFile(standInsLog).find("reboot"), std::string::npos) << readFile(standInsLog);
        EXPECT_EQ(readFile(halLog).find("reboot"), std::string::npos) << readFile(halLog);
    }
    /* Cards A and B on a VLAN reboot after the VLAN-2 query: StrataVlanMemBlock. */
    /* the card's text now carries the new value */
    got = exchange(MEM_BLOCK_REQUEST);
    Packet reply = find(got, MEM_BLOCK);
    std::string now(reply.data.begin(), reply.data.end());
    EXPECT_NE(now.find(changed.substr(0, changed.find('\n') + 1)), std::string::npos) << now;
    if (!c.vlan) {
        EXPECT_NE(now.find("netmask=255.255.255.0\n"), std::string::npos) << now;
    }
    /* a wrong identity word is refused with NACK 5 */
    got = exchange(SET_MEM_BLOCK, ctrlpeer::memBlockData(0x1234, "ipaddr=1.2.3.4\n"));
    EXPECT_EQ(find(got, NACK).data, Bytes{5}) << describeAll(got);
}

INSTANTIATE_TEST_SUITE_P(Cards, StrataCard, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<CardCase> &info) {
                             std::string name;
                             for (const char *p = info.param.name; *p; p++)
                                 if (isalnum((unsigned char)*p))
                                     name += *p;
                             return name;
                         });

/*
 * Cards on a VLAN whose controller sends a changed MEM_BLOCK while the card's
 * VLAN-2 query waits for its answer: cards A and B reboot once the answer is
 * in, the others never.
 */
struct VlanMemBlockCase {
    const char *name;
    int slot;
    bool reboots;
};

void PrintTo(const VlanMemBlockCase &c, std::ostream *out)
{
    *out << "slot " << c.name;
}

class StrataVlanMemBlock : public ::testing::TestWithParam<VlanMemBlockCase>, public StrataDaemon {
protected:
    void SetUp() override { SKIP_WITHOUT_PRIVATE_NAMESPACES(); }
    void TearDown() override { stop(); }
};

TEST_P(StrataVlanMemBlock, AChangedMemBlockRebootsAfterTheVlan2QueryInSlotsAAndB)
{
    const VlanMemBlockCase &v = GetParam();
    const CardCase card = {v.name, v.slot, 0, 2, true, false, 0xA9, 0x81, "QMR-1100", nullptr, ""};
    constexpr uint16_t VLAN2_QUERY = 0x305F;
    startCard(card, false, {VLAN2_QUERY});
    ASSERT_TRUE(peer->waitOpcode(VLAN2_QUERY, 20000)) << readFile(log());
    auto got = exchange(SET_MEM_BLOCK, ctrlpeer::memBlockData(card.identityB, "sfp1disable=1\n"));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].opcode, ACK);
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "environment variables are different from strata MEM_BLOCK", 1, 20000))
        << readFile(log());
    const std::string halLog = dir / "root/var/log/hal.log";
    EXPECT_EQ(readFile(halLog).find("reboot"), std::string::npos) << "the reboot waits for the VLAN-2 answer";

    /* The controller's answer agrees with the card's VLAN address: only the MEM_BLOCK calls for a reboot. */
    ASSERT_TRUE(peer->answerHeld(VLAN2_QUERY));
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "Will be start polling controller for status data!", 1, 30000))
        << readFile(log());
    std::string text = readFile(log());
    EXPECT_NE(text.find("ipaddrvlan2 and vlan2netmask are ok."), std::string::npos) << text;
    const char *decided = "We finished getting the vlan2 ip addr and now we will reboot since the mem-block had changed.";
    /* The hal records the reboot and runs the card root's reboot stand-in. */
    const std::string standInsLog = dir / "root/var/log/standins.log";
    if (v.reboots) {
        EXPECT_NE(text.find(decided), std::string::npos) << text;
        EXPECT_TRUE(firmwareTest::waitForLogIn(halLog, "reboot\n", 1, 20000)) << readFile(halLog);
        EXPECT_TRUE(firmwareTest::waitForLogIn(standInsLog, "reboot", 1, 20000)) << readFile(standInsLog);
    } else {
        EXPECT_EQ(text.find(decided), std::string::npos) << text;
        EXPECT_EQ(readFile(halLog).find("reboot"), std::string::npos) << readFile(halLog);
        EXPECT_EQ(readFile(standInsLog).find("reboot"), std::string::npos) << readFile(standInsLog);
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, StrataVlanMemBlock,
                         ::testing::Values(VlanMemBlockCase{"A", 0, true}, VlanMemBlockCase{"B", 1, true},
                                           VlanMemBlockCase{"C", 2, false}, VlanMemBlockCase{"E", 4, false}),
                         [](const ::testing::TestParamInfo<VlanMemBlockCase> &info) {
                             return std::string("Slot") + info.param.name;
                         });

/*
 * GET_MULTIVIEWER_SYSTEM_SLOTS (0x6502) on cards C-F: the frame slots of the
 * system's cards, counted from the card's own slot (its link address, less 128
 * above 148) by its place in the system and the side card A stands on.
 */
struct SlotsCase {
    const char *name;
    int slot;
    int rearType, rearRev;
    uint8_t cardAddress;
    Bytes answer; /* empty: NACK 1 */
};

void PrintTo(const SlotsCase &c, std::ostream *out)
{
    *out << c.name;
}

const SlotsCase SLOTS_CASES[] = {
    {"four cards, A on the left, card C", 2, 0, 1, 35, {4, 33, 34, 35, 36, 0, 0, 0, 0}},
    {"four cards, A on the right, card D", 3, 0, 0, 40, {4, 43, 42, 41, 40, 0, 0, 0, 0}},
    {"seven cards, address above 148, card E", 4, 12, 0, 160, {7, 28, 29, 30, 31, 32, 33, 34, 0}},
    {"six cards, A on the left, card F", 5, 13, 0, 60, {6, 55, 56, 57, 58, 59, 60, 0, 0}},
    {"a standalone card C is outside its one-card system", 2, 3, 0, 35, {}},
    {"two cards, card C is outside the system", 2, 2, 1, 35, {}},
};

class StrataSlots : public ::testing::TestWithParam<SlotsCase>, public StrataDaemon {
protected:
    void SetUp() override { SKIP_WITHOUT_PRIVATE_NAMESPACES(); }
    void TearDown() override { stop(); }
};

TEST_P(StrataSlots, SystemSlotsAnswer)
{
    const SlotsCase &c = GetParam();
    const CardCase card = {c.name, c.slot, 2, 2, false, false, 0xA9, 0x81, "QMR-1100", "", ""};
    startCard(card, false, {}, [&](ctrlpeer::CtrlPeer::Options &o) { o.cardAddress = c.cardAddress; },
              [&] {
                  std::ofstream(dir / "root/etc/cardsim.conf", std::ios::app)
                      << "rearType=" << c.rearType << "\nrearRev=" << c.rearRev << "\n";
              });
    auto got = exchange(0x6502);
    if (c.answer.empty()) {
        EXPECT_EQ(find(got, NACK).data, Bytes{1}) << describeAll(got);
        EXPECT_EQ(countOf(got, 0x6503), 0u) << describeAll(got);
        return;
    }
    EXPECT_EQ(find(got, ACK).opcode, ACK) << describeAll(got);
    Packet answer = find(got, 0x6503);
    EXPECT_EQ(answer.data, c.answer) << describeAll(got) << readFile(log());
    EXPECT_EQ(answer.destination, ctrlpeer::CONTROLLER);
}

INSTANTIATE_TEST_SUITE_P(Systems, StrataSlots, ::testing::ValuesIn(SLOTS_CASES),
                         [](const ::testing::TestParamInfo<SlotsCase> &info) {
                             std::string name;
                             for (const char *p = info.param.name; *p; p++)
                                 if (isalnum((unsigned char)*p))
                                     name += *p;
                             return name;
                         });

/*
 * The controller monitor of a VLAN card in slot B, through the controller
 * peer: the values it polls reach the card (the frame type in the discovery
 * record, the restore-point bit and the controller status in the status word
 * at byte 1184 of the card's block, the IP settings relayed to the QVS
 * application), with every query answered, and with its first queries left
 * to time out so that their defaults apply.
 */
class StrataMonitor : public ::testing::Test, public StrataDaemon {
protected:
    static constexpr uint16_t FRAME_TYPE_QUERY = 0x101D, CAPABILITIES_QUERY = 0x3200, VLAN2_QUERY = 0x305F,
                              RESTORE_CONFIG_QUERY = 0x101A, QVS_IP_CONFIG = 0x400F;
    static constexpr uint32_t BLOCK_SIZE = 6380, STATUS_WORD = 1184, DISCOVERY_FRAME_STATUS = 18,
                              DISCOVERY_FRAME_TYPE = 22;
    static constexpr int SLOT = 1;
    void SetUp() override { SKIP_WITHOUT_PRIVATE_NAMESPACES(); }
    void TearDown() override
    {
        stop();
        qvs.reset();
        if (shared.transport)
            shared.transport->close(&shared);
    }
    /* The card on a VLAN in slot B, its debug port, the QVS application's bridge port and the shared memory. */
    void start(const std::vector<uint16_t> &held, uint8_t frameType, uint8_t restoreConfig)
    {
        const CardCase card = {"slot B, VLAN", SLOT, 1, 1, true, false, 0xB7, 0x89, "QMR-1200", nullptr, ""};
        ctrlpeer::CtrlPeer::Options qvsOptions;
        qvsOptions.acknowledge = false;
        qvsOptions.answerQueries = false;
        qvs.reset(new ctrlpeer::CtrlPeer(qvsOptions));
        startCard(card, false, held,
                  [&](ctrlpeer::CtrlPeer::Options &o) {
                      /* the card's frame slot 14 is the one its VLAN address ends in */
                      o.cardAddress = 14;
                      o.frameType = frameType;
                      o.restorePointConfig = restoreConfig;
                      o.vlan2CardIp = {{0, 169, 254, 2, 1, 14}};
                  },
                  [&] {
                      firmwareTest::writeConfiguration(dir, {"pcodeProcessor", "strata", "debuger"});
                      const uint8_t header[32] = {0};
                      std::ofstream(dir / "root/usr/local/q7/firmware/ulmheader.dat", std::ios::binary)
                          .write((const char *)header, sizeof header);
                      ASSERT_TRUE(qvs->listenTcp(5101));
                  });
        ASSERT_TRUE(qvs->acceptOne(20000)) << readFile(log());
        ASSERT_EQ(qvsPeerOpenLocal(&shared), 0);
    }
    uint16_t statusWord()
    {
        uint8_t b[2] = {0xEE, 0xEE};
        shared.transport->readSharedMem(&shared, BLOCK_SIZE * SLOT + STATUS_WORD, b, 2);
        return (uint16_t)(b[0] << 8 | b[1]);
    }
    /* Waits until the status word reads `value`; the monitor's pass comes every 30 s. */
    bool waitStatusWord(uint16_t value)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(75);
        while (statusWord() != value && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return statusWord() == value;
    }
    /*
     * One byte of the card's discovery record (device 30, read through the debug port, which closes
     * an idle client: one connection per read); -1 on failure.
     */
    int discoveryByte(uint32_t offset)
    {
        int fd = firmwareTest::connectDebugPort();
        if (fd < 0)
            return -1;
        std::vector<uint8_t> h = {0x7F, 1, 30, 0, 0, (uint8_t)(offset >> 8), (uint8_t)offset, 1};
        uint16_t crc = crc16Ccitt(h.data(), h.size());
        h.push_back((uint8_t)(crc >> 8));
        h.push_back((uint8_t)crc);
        uint8_t reply[2];
        size_t got = 0;
        if (send(fd, h.data(), h.size(), MSG_NOSIGNAL) == (ssize_t)h.size()) {
            while (got < sizeof reply) {
                ssize_t n = read(fd, reply + got, sizeof reply - got);
                if (n <= 0)
                    break;
                got += (size_t)n;
            }
        }
        close(fd);
        return got == sizeof reply && reply[0] <= 1 ? reply[1] : -1;
    }
    bool waitLog(const std::string &needle, int seconds)
    {
        return firmwareTest::waitForLogIn(log(), needle, 1, seconds * 1000);
    }
    std::unique_ptr<ctrlpeer::CtrlPeer> qvs;
    qvsPeer shared;
};

TEST_F(StrataMonitor, AnsweredQueriesReachTheCardAndEachPassReportsTheControllerStatus)
{
    start({}, 3, 0);
    ASSERT_TRUE(waitLog("Will be start polling controller for status data!", 30)) << readFile(log());
    std::string text = readFile(log());
    EXPECT_EQ(text.find("TimedOut of"), std::string::npos) << text;
    EXPECT_NE(text.find("Received CONTROLLER_CAPABILITIES message."), std::string::npos) << text;
    EXPECT_NE(text.find("ipaddrvlan2 and vlan2netmask are ok."), std::string::npos) << text;
    /* the controller's frame type is in the discovery record; the status word waits for the first pass */
    EXPECT_EQ(discoveryByte(DISCOVERY_FRAME_TYPE), 3);
    EXPECT_EQ(statusWord(), 0x0008);

    /* the first pass: both IP settings relayed to the QVS application, the frame status taken, status good */
    EXPECT_TRUE(waitStatusWord(0x0001)) << std::hex << statusWord() << "\n" << readFile(log());
    ctrlpeer::CtrlPeer::Options defaults;
    ASSERT_TRUE(qvs->waitFor([](const Packet &p) { return p.opcode == QVS_IP_CONFIG && p.data[0] == 1; }, 20000));
    std::vector<Packet> relayed;
    for (const Packet &p : qvs->received())
        if (p.opcode == QVS_IP_CONFIG)
            relayed.push_back(p);
    ASSERT_EQ(relayed.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(relayed[i].data, Bytes(defaults.ipConfig[i].begin(), defaults.ipConfig[i].end()));
        EXPECT_EQ(relayed[i].source, ctrlpeer::CONTROLLER);
        EXPECT_EQ(relayed[i].destination, 14);
    }
    /* the status word is kept in host order (its bytes swapped), and reaches the discovery record big-endian */
    EXPECT_TRUE(waitLog("frame status changed: status word 0x0000 -> 0x0300, presence 00 00 00 -> 3f 3f 00", 5))
        << readFile(log());
    EXPECT_EQ(discoveryByte(DISCOVERY_FRAME_STATUS), 0x00);
    EXPECT_EQ(discoveryByte(DISCOVERY_FRAME_STATUS + 1), 0x03);

    /* the controller drops the link below state 3: the next pass reports status bad */
    peer->sendMessage(COMM_STATE, {2});
    EXPECT_TRUE(waitStatusWord(0x0002)) << std::hex << statusWord() << "\n" << readFile(log());
    EXPECT_TRUE(waitLog("strataGetCommState possibly reset controller went down", 5));
}

TEST_F(StrataMonitor, UnansweredQueriesTakeTheirDefaultsAndTheCapabilitiesAreAskedAgain)
{
    start({FRAME_TYPE_QUERY, CAPABILITIES_QUERY, VLAN2_QUERY, RESTORE_CONFIG_QUERY}, 3, 0);
    /* no frame type within 30 s: type 2 */
    ASSERT_TRUE(waitLog("TimedOut of  strataGetFrameType will default value!", 45)) << readFile(log());
    for (int i = 0; i < 250 && discoveryByte(DISCOVERY_FRAME_TYPE) != 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(discoveryByte(DISCOVERY_FRAME_TYPE), 2);
    /* no capabilities within 10 s, and the card's VLAN flag is 0: nothing decided, they stay owed */
    ASSERT_TRUE(waitLog("Patch Kvr-1003: Our vlan is not enabled because cpuEth3HasVlan env var is 0", 25))
        << readFile(log());
    /* no VLAN-2 record: the address comes from the card's frame slot, 14, as the environment has it */
    ASSERT_TRUE(waitLog("TimedOut of  strataGetVlan2CardIp will default value to 255!", 25)) << readFile(log());
    EXPECT_TRUE(waitLog("Vlan2 ip message was not valid, so going to determine vlan2 ip address from our Strata "
                        "Address (slot id).",
                        5));
    EXPECT_TRUE(waitLog("ipaddrvlan2 and vlan2netmask are ok.", 5));
    /* no restore-point configuration: 1 */
    ASSERT_TRUE(waitLog("TimedOut of  strataGetRestorePointConfig will default value to 1!", 25)) << readFile(log());
    EXPECT_EQ(readFile(log()).find("Received CONTROLLER_CAPABILITIES message."), std::string::npos);

    /* the controller answers from now on: the pass asks for the owed capabilities again */
    peer->holdQuery(CAPABILITIES_QUERY, false);
    ASSERT_TRUE(waitLog("Received CONTROLLER_CAPABILITIES message.", 75)) << readFile(log());
    /* restore-point bit 1 (the default) and status good */
    EXPECT_TRUE(waitStatusWord(0x0009)) << std::hex << statusWord() << "\n" << readFile(log());
    EXPECT_EQ(peer->count(CAPABILITIES_QUERY), 2u);
    EXPECT_EQ(readFile(dir / "root/var/log/hal.log").find("reboot"), std::string::npos);
}

/* A video card in slot C on the serial line, with time updates. */
class StrataUpdate : public ::testing::Test, public StrataDaemon {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        static const CardCase card = {"slot C", 2, 2, 2, false, true, 0xA9, 0x81, "QMR-1100", "QMR-1100-C", ""};
        startCard(card, true);
    }
    void TearDown() override { stop(); }
    std::string root() { return dir / "root"; }
};

TEST_F(StrataUpdate, TimeRequestOnStateThreeSetsTheClockThroughTheHal)
{
    /* GET_TIME_V3: type 2 to the controller, no data */
    Packet request;
    ASSERT_TRUE(peer->waitOpcode(GET_TIME_V3, 20000, &request));
    EXPECT_EQ(request.raw, (Bytes{0x02, 0x15, 0x21, 0x02, 0x01, 0x2A, 0x65}));
    /* the peer answered 2026-12-10 12:30:45.250 */
    EXPECT_TRUE(firmwareTest::waitForLogIn(root() + "/var/log/hal.log", "settime ", 1, 20000))
        << readFile(root() + "/var/log/hal.log");
}

/*
 * A live update announced by the QVS application lights the card's status
 * indication, and its end puts it out; another register of the device and
 * another value change nothing (the pcodes are taken in order, so the end's
 * line shows they were all taken).
 */
TEST_F(StrataUpdate, LiveUpdateRegisterDrivesTheStatusLeds)
{
    auto count = [&](const std::string &needle) {
        std::string text = readFile(log());
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            n++;
        return n;
    };
    const std::string frameLed = "LED Ctrl: Received an LED Control from callerId 3, to control LED id 3 (0x03).";
    size_t frameLedBefore = count(frameLed);
    for (const char *pcode : {"setdevice 0xFF 30 1 1", "setdevice 0xFF 30 2 0", "setdevice 0xFF 30 1 7",
                              "setdevice 0xFF 30 1 0"})
        ASSERT_EQ(firmwareTest::runQvsPeer(pcode, dir / "peer.out", false), 0) << pcode << readFile(dir / "peer.out");
    ASSERT_TRUE(firmwareTest::waitForLogIn(log(), "liveUpdateMsgProcessing: Liveupdate Finished.", 1, 5000))
        << readFile(log());
    EXPECT_EQ(count("liveUpdateMsgProcessing: Liveupdate Started,..."), 1u);
    EXPECT_EQ(count("Liveupdate Finished."), 1u);
    EXPECT_EQ(count(frameLed), frameLedBefore + 2) << readFile(log());
}

TEST_F(StrataUpdate, UpdateScriptStandInRunsOnceAndItsStatusReachesTheController)
{
    std::string script = root() + "/sbin/fum-update.sh";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "echo \"run $1\" >> " << root() << "/var/log/fum-runs.log\n"
                          << "printf '2\\nCopying\\n45\\n' > " << root() << "/tmp/fum-update-status\n"
                          << "sleep 2\n"
                          << "printf '240\\nDone\\n100\\n' > " << root() << "/tmp/fum-update-status\n";
    chmod(script.c_str(), 0755);
    std::ofstream(root() + "/etc/vsftpd.conf") << "listen=YES\n";

    size_t from = peer->received().size();
    peer->sendMessage(0x0017, {2});
    ASSERT_TRUE(peer->waitFor([](const Packet &p) { return p.opcode == 0x0153; }, 20000, nullptr, from)) << readFile(log());
    struct stat info;
    EXPECT_EQ(stat((root() + "/var/lock/updateManager.lock").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 10);
    /* FTP mode: the server restarted with the controller's data port */
    peer->sendMessage(0x0017, {16});
    EXPECT_TRUE(firmwareTest::waitForLogIn(root() + "/var/log/hal.log", "command /etc/init.d/vsftpd start", 1, 20000));
    /* off a VLAN the controller named no data port: the configuration stays as it was */
    EXPECT_EQ(readFile(root() + "/etc/vsftpd.conf"), "listen=YES\n");
    from = peer->received().size();
    peer->sendMessage(0x0017, {1});
    Packet progress, done;
    ASSERT_TRUE(peer->waitFor([](const Packet &p) { return p.opcode == 0x0153 && p.data.size() > 1 && p.data[1] == 45; },
                              15000, &progress, from))
        << readFile(log());
    EXPECT_EQ(progress.data, (Bytes{0x02, 45, 'C', 'o', 'p', 'y', 'i', 'n', 'g', 0}));
    ASSERT_TRUE(peer->waitFor([](const Packet &p) { return p.opcode == 0x0153 && p.data.size() > 0 && p.data[0] == 0xF0; },
                              15000, &done, from))
        << readFile(log());
    EXPECT_EQ(done.data, (Bytes{0xF0, 100, 'D', 'o', 'n', 'e', 0}));
    EXPECT_EQ(readFile(root() + "/var/log/fum-runs.log"), "run " + root() + "/upgrade/fum-ftp/in\n");
    /* back to the application: the lock goes and the installed update reboots the card once */
    peer->sendMessage(0x0017, {10});
    EXPECT_TRUE(firmwareTest::waitForLogIn(root() + "/var/log/hal.log", "reboot\n", 1, 20000));
    for (int i = 0; i < 2000 && stat((root() + "/var/lock/updateManager.lock").c_str(), &info) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(stat((root() + "/var/lock/updateManager.lock").c_str(), &info), 0);
}

/* A TIME_V3 sample as the controller sends it: year, month, day, hour, minute, second, milliseconds. */
Bytes timeV3(int year, int month, int day, int hour, int minute, int second, int milliseconds)
{
    return {(uint8_t)(year >> 8), (uint8_t)year, (uint8_t)month, (uint8_t)day, (uint8_t)hour, (uint8_t)minute,
            (uint8_t)second, (uint8_t)(milliseconds >> 8), (uint8_t)milliseconds};
}

/* What the hal's stand-in records for a clock set to this local time. */
std::string settimeLine(int year, int month, int day, int hour, int minute, int second, int milliseconds)
{
    struct tm when = {};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_isdst = -1;
    char usec[16];
    snprintf(usec, sizeof usec, ".%06d", milliseconds * 1000);
    return "settime " + std::to_string((long long)mktime(&when)) + usec + "\n";
}

/*
 * The controller's TIME_V3 sets the card's clock only with a time that exists:
 * every field out of its range is refused with a line and the clock (the
 * hal's record of it) and the timestamp file stay as they were.
 */
TEST_F(StrataUpdate, TimeV3OutOfRangeIsRefusedAndTheClockLeftAlone)
{
    constexpr uint16_t TIME_V3 = 0x012B;
    const std::string hal = root() + "/var/log/hal.log";
    /* the card's own request was answered first */
    ASSERT_TRUE(firmwareTest::waitForLogIn(hal, "settime ", 1, 20000)) << readFile(hal);
    const std::string refused = "strataTimeV3: refused a time out of range";
    struct Case {
        const char *name;
        int year, month, day, hour, minute, second, milliseconds;
    } cases[] = {
        {"month 0", 2027, 0, 4, 5, 6, 7, 89},          {"month 13", 2027, 13, 4, 5, 6, 7, 89},
        {"month 255", 2027, 255, 4, 5, 6, 7, 89},      {"day 0", 2027, 3, 0, 5, 6, 7, 89},
        {"day 32", 2027, 3, 32, 5, 6, 7, 89},          {"day 255", 2027, 3, 255, 5, 6, 7, 89},
        {"29 February 2027", 2027, 2, 29, 5, 6, 7, 89}, {"31 April", 2027, 4, 31, 5, 6, 7, 89},
        {"hour 24", 2027, 3, 4, 24, 6, 7, 89},         {"hour 255", 2027, 3, 4, 255, 6, 7, 89},
        {"minute 60", 2027, 3, 4, 5, 60, 7, 89},       {"second 60", 2027, 3, 4, 5, 6, 60, 89},
        {"year 0", 0, 3, 4, 5, 6, 7, 89},              {"year 1999", 1999, 3, 4, 5, 6, 7, 89},
        {"year 2100", 2100, 3, 4, 5, 6, 7, 89},        {"year 65535", 65535, 3, 4, 5, 6, 7, 89},
        {"milliseconds 1000", 2027, 3, 4, 5, 6, 7, 1000}, {"milliseconds 65535", 2027, 3, 4, 5, 6, 7, 65535},
    };
    std::string timestamp = readFile(root() + "/data/timestamp");
    /* the clock requests the hal recorded; services still starting add lines of their own */
    auto clockSets = [&hal] {
        std::istringstream lines(readFile(hal));
        std::string line, sets;
        while (std::getline(lines, line))
            if (line.rfind("settime ", 0) == 0)
                sets += line + "\n";
        return sets;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string halBefore = clockSets();
        size_t refusedBefore = firmwareTest::logCount(log(), refused);
        /* the card acknowledges a TIME_V3 after handling it */
        size_t from = peer->received().size();
        peer->sendMessage(TIME_V3, timeV3(c.year, c.month, c.day, c.hour, c.minute, c.second, c.milliseconds));
        ASSERT_TRUE(peer->waitOpcode(ACK, 20000, nullptr, from));
        EXPECT_EQ(firmwareTest::logCount(log(), refused), refusedBefore + 1);
        EXPECT_EQ(clockSets(), halBefore);
        EXPECT_EQ(readFile(root() + "/data/timestamp"), timestamp);
    }
    /* the last day of a leap February and the last moment of a day are times */
    struct Case valid[] = {{"29 February 2028", 2028, 2, 29, 23, 59, 59, 999},
                           {"a day in 2027", 2027, 3, 4, 5, 6, 7, 89}};
    for (const Case &c : valid) {
        SCOPED_TRACE(c.name);
        size_t from = peer->received().size();
        peer->sendMessage(TIME_V3, timeV3(c.year, c.month, c.day, c.hour, c.minute, c.second, c.milliseconds));
        ASSERT_TRUE(peer->waitOpcode(ACK, 20000, nullptr, from));
        std::string recorded = clockSets();
        EXPECT_EQ(recorded.substr(recorded.rfind("settime ")),
                  settimeLine(c.year, c.month, c.day, c.hour, c.minute, c.second, c.milliseconds));
    }
    EXPECT_EQ(readFile(root() + "/data/timestamp"), "030405062027");
}

/* A card whose time updates are disabled: the controller's TIME_V3 leaves its clock alone. */
class StrataNoTimeUpdate : public ::testing::Test, public StrataDaemon {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PRIVATE_NAMESPACES();
        static const CardCase card = {"slot C", 2, 2, 2, false, true, 0xA9, 0x81, "QMR-1100", "QMR-1100-C", ""};
        startCard(card, false);
    }
    void TearDown() override { stop(); }
};

TEST_F(StrataNoTimeUpdate, TimeV3LeavesTheClockAlone)
{
    size_t from = peer->received().size();
    peer->sendMessage(0x012B, timeV3(2027, 3, 4, 5, 6, 7, 89));
    ASSERT_TRUE(peer->waitOpcode(ACK, 20000, nullptr, from));
    EXPECT_TRUE(
        firmwareTest::waitForLogIn(log(), "strataTimeV3: time updates are disabled (DISABLE_TIME_UPDATE)", 1, 5000))
        << readFile(log());
    std::string hal = readFile(dir / "root/var/log/hal.log");
    EXPECT_EQ(hal.find("settime"), std::string::npos) << hal;
    struct stat info;
    EXPECT_NE(stat((dir / "root/data/timestamp").c_str(), &info), 0);
}

} // namespace
