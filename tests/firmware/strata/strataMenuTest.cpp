#include "StrataTestSupport.h"

#include "platform/platform.h"
#include "platform/platformPrivate.h"

#include <cstring>
#include <fstream>
#include <sys/syscall.h>
#include <unistd.h>

using namespace strataTest;
using ctrlpeer::Packet;
using firmwareTest::TestLog;

namespace {

/* A display line: attribute, 16 characters padded with blanks, and a zero (18 bytes). */
Reply line(uint8_t attribute, const std::string &text)
{
    Bytes b(18, ' ');
    b[0] = attribute;
    for (size_t i = 0; i < text.size() && i < 16; i++)
        b[i + 1] = (uint8_t)text[i];
    b[17] = 0;
    return Reply{0x0021, b};
}

/* A marquee frame: attribute and 16 characters (17 bytes). */
Reply frame(uint8_t attribute, const std::string &text)
{
    Bytes b(17, ' ');
    b[0] = attribute;
    memcpy(b.data() + 1, text.data(), 16);
    return Reply{0x0021, b};
}

/*
 * The thread that reads the button node, while it waits in that read: with
 * the node empty, every press written to it has been read and handled. 0 when
 * no thread waits there.
 */
pid_t buttonReaderWaiting()
{
    const std::string node = cardRoot().path() + "/dev/uio0";
    for (pid_t tid : threadState::threads()) {
        std::ifstream call("/proc/self/task/" + std::to_string(tid) + "/syscall");
        long number = -1;
        std::string fd;
        if (!(call >> number >> fd) || number != SYS_read || !threadState::sleeping(tid))
            continue;
        char target[4096];
        std::string link = "/proc/self/fd/" + std::to_string(strtol(fd.c_str(), nullptr, 16));
        ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, (size_t)length) == node)
            return tid;
    }
    return 0;
}

const Reply CLEAR{0x0020, {}};
const Reply HOME{0x0023, {}};

std::vector<Reply> draw(const std::string &title, const std::string &second)
{
    return {CLEAR, HOME, line(0x00, title), line(0x40, second)};
}

std::vector<Reply> operator+(std::vector<Reply> a, const std::vector<Reply> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string updateVersion()
{
    uint8_t v[3];
    platformGetUpdateVersion(v);
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
}

class StrataMenu : public StrataLink {
protected:
    void SetUp() override
    {
        StrataLink::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        /* the timer thread never ticks by itself here: the tests deliver each tick */
        strataTiming.menuTickMs = 3600 * 1000;
        saved = platformRecord;
        platformRecord.rearDetected = 1;
        platformRecord.rearSlot = 3; /* slot D */
        platformRecord.cardHwType = 4;
        platformRecord.vlanKnown = 1;
        platformRecord.vlanInUse = 0;
        strataIdentityReset();
        platformStrataDoWeHandleMenu(strataCategory());
        platformStrataPreServiceInit(strataCategory());
        platformStrataMenuRootInit(strataCategory(), nullptr, nullptr);
        strataMenuReset();
        raiseState(3);
    }
    void TearDown() override
    {
        strataMenuReset();
        platformRecord.rearSlot = saved.rearSlot;
        platformRecord.cardHwType = saved.cardHwType;
        platformRecord.vlanKnown = saved.vlanKnown;
        platformRecord.vlanInUse = saved.vlanInUse;
        platformRecord.rearDetected = saved.rearDetected;
        strataLinkConfiguration.isStrataMenuHandledByFirmware = 0;
        strataLinkConfiguration.qvsRelay = 1;
        StrataLink::TearDown();
    }
    std::vector<Reply> replies(size_t from)
    {
        std::vector<Reply> out;
        for (const Packet &p : untilMarkers(from))
            out.push_back(Reply{p.opcode, p.data});
        return out;
    }
    std::vector<Reply> exchange(uint16_t opcode, const Bytes &data = {})
    {
        size_t from = peer.received().size();
        peer.sendMessage(opcode, data);
        return replies(from);
    }
    /* One tick of the menu timer, delivered at once. */
    std::vector<Reply> tick()
    {
        size_t from = peer.received().size();
        strataMenuTimerStep();
        return replies(from);
    }
    platformRecord_t saved;
};

TEST_F(StrataMenu, OpeningDrawsTheRootThenTheCurrentItem)
{
    const std::string label = "QMR-1300-D";
    EXPECT_EQ(exchange(0x0005), (std::vector<Reply>{ACK} + draw(label, "Card") + draw(label, "FW Unknown")));
    /* the literal bytes of the first line */
    EXPECT_EQ(line(0x00, label).data, (Bytes{0x00, 'Q', 'M', 'R', '-', '1', '3', '0', '0', '-', 'D', ' ', ' ', ' ',
                                             ' ', ' ', ' ', 0x00}));
    /* 0x0005 during a dialog closes it silently */
    EXPECT_EQ(exchange(0x0005), (std::vector<Reply>{ACK}));
    EXPECT_EQ(exchange(0x0026), (std::vector<Reply>{ACK}));
}

TEST_F(StrataMenu, KeysWalkTheTreeWithinItsBounds)
{
    const std::string label = "QMR-1300-D";
    exchange(0x0005);
    EXPECT_EQ(exchange(0x0025, {1}), (std::vector<Reply>{ACK} + draw(label, "Update " + updateVersion())));
    EXPECT_EQ(strataMenuSelected(), 1);
    /* step 5 on a menu of three children: unchanged */
    EXPECT_EQ(exchange(0x0025, {5}), (std::vector<Reply>{ACK} + draw(label, "Update " + updateVersion())));
    EXPECT_EQ(strataMenuSelected(), 1);
    EXPECT_EQ(exchange(0x0025, {1}), (std::vector<Reply>{ACK} + draw(label, "Network")));
    EXPECT_EQ(strataMenuSelected(), 2);
    /* into the sub-menu: its title on line 1, its first item on line 2 */
    EXPECT_EQ(exchange(0x0026), (std::vector<Reply>{ACK} + draw("Network", "IP 10.0.0.21")));
    EXPECT_EQ(strataMenuSelected(), 0);
    EXPECT_EQ(exchange(0x0025, {2}), (std::vector<Reply>{ACK} + draw("Network", "Gw 10.0.0.1")));
    EXPECT_EQ(exchange(0x0027), (std::vector<Reply>{ACK} + draw(label, "Network")));
    EXPECT_EQ(strataMenuSelected(), 2);
    /* step 5 back from index 2 stops at 0 */
    EXPECT_EQ(exchange(0x0024, {5}), (std::vector<Reply>{ACK} + draw(label, "FW Unknown")));
    EXPECT_EQ(strataMenuSelected(), 0);
    /* enter on a leaf leaves the stack as it was; back at the root stays at the root */
    EXPECT_EQ(exchange(0x0026), (std::vector<Reply>{ACK} + draw(label, "FW Unknown")));
    EXPECT_EQ(menuStackTop(), nullptr);
    EXPECT_EQ(exchange(0x0027), (std::vector<Reply>{ACK} + draw(label, "FW Unknown")));
    /* a key without its step byte moves nothing */
    EXPECT_EQ(exchange(0x0025), (std::vector<Reply>{ACK} + draw(label, "FW Unknown")));
}

TEST_F(StrataMenu, KeysWithoutADialogAreAcknowledgedAndChangeNothing)
{
    for (uint16_t opcode : {0x0024, 0x0025, 0x0026, 0x0027, 0x0020, 0x0021, 0x0013, 0x0006}) {
        SCOPED_TRACE(opcode);
        EXPECT_EQ(exchange(opcode, {1}), (std::vector<Reply>{ACK}));
        EXPECT_EQ(strataMenuSelected(), 0);
    }
    /* other opcodes are not the menu's: the link answers NACK 11 */
    strataLinkConfiguration.isStrataMenuHandledByFirmware = 1;
    EXPECT_EQ(menuMessageHandler(STRATA_CONTROLLER_ADDRESS, 0x0030, nullptr, 0), 0);
}

TEST_F(StrataMenu, IdleDialogClosesAfterThirtyOneSecondsWithItsClosingMessages)
{
    /* the menu counts whole seconds, and a second of real time may pass meanwhile */
    exchange(0x0005);
    strataMenuAdvanceClock(29);
    EXPECT_EQ(tick(), (std::vector<Reply>{}));
    /* activity restarts the idle time */
    exchange(0x0020);
    strataMenuAdvanceClock(29);
    EXPECT_EQ(tick(), (std::vector<Reply>{}));
    strataMenuAdvanceClock(2);
    EXPECT_EQ(tick(), (std::vector<Reply>{HOME, CLEAR}));
    /* closed: keys change nothing any more */
    EXPECT_EQ(exchange(0x0025, {1}), (std::vector<Reply>{ACK}));
    strataMenuAdvanceClock(40);
    EXPECT_EQ(tick(), (std::vector<Reply>{}));
}

TEST_F(StrataMenu, SeventeenCharacterTitleRunsAMarqueeOfCycleTwenty)
{
    static strataMenuItem_t leaf = {nullptr, 0, "x", nullptr, 0};
    static strataMenuItem_t *children[] = {&leaf};
    static strataMenuItem_t root = {children, 1, "r", nullptr, 0};
    struct Case {
        std::string title;
        bool marquee;
    };
    for (const Case &c : {Case{"ABCDEFGHIJKLMNOP", false}, Case{"ABCDEFGHIJKLMNOPQ", true}}) {
        SCOPED_TRACE(c.title);
        strataMenuInit(strataCategory(), &root, c.title.c_str());
        EXPECT_EQ(exchange(0x0005), (std::vector<Reply>{ACK} + draw(c.title.substr(0, 16), "r") +
                                     draw(c.title.substr(0, 16), "x")));
        if (!c.marquee) {
            EXPECT_EQ(tick(), (std::vector<Reply>{}));
        } else {
            const std::string cycle = "ABCDEFGHIJKLMNOPQ - ";
            std::vector<Reply> frames;
            for (int i = 0; i < 22; i++)
                frames = frames + tick();
            std::vector<Reply> expected;
            for (int offset : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 0}) {
                std::string shown;
                for (int k = 0; k < 16; k++)
                    shown += cycle[(size_t)(offset + k) % cycle.size()];
                expected.push_back(frame(0x00, shown));
            }
            EXPECT_EQ(frames, expected);
            EXPECT_EQ(expected[4], frame(0x00, "EFGHIJKLMNOPQ - A"));
        }
        exchange(0x0006);
    }
}

TEST_F(StrataMenu, LongSecondLineScrollsWithItsAttribute)
{
    static strataMenuItem_t leaf = {nullptr, 0, "A long item title", nullptr, 0};
    static strataMenuItem_t *children[] = {&leaf};
    static strataMenuItem_t root = {children, 1, "r", nullptr, 0};
    strataMenuInit(strataCategory(), &root, "Short");
    EXPECT_EQ(exchange(0x0005), (std::vector<Reply>{ACK} + draw("Short", "r") +
                                 std::vector<Reply>{CLEAR, HOME, line(0x00, "Short")}));
    EXPECT_EQ(tick(), (std::vector<Reply>{frame(0x40, "A long item titl")}));
    EXPECT_EQ(tick(), (std::vector<Reply>{frame(0x40, " long item title")}));
}

TEST_F(StrataMenu, RootWithoutChildrenDrawsAnEmptySecondLine)
{
    static strataMenuItem_t root = {nullptr, 0, "Alone", nullptr, 0};
    strataMenuInit(strataCategory(), &root, "Empty");
    EXPECT_EQ(exchange(0x0005), (std::vector<Reply>{ACK} + draw("Empty", "Alone") + draw("Empty", "")));
    EXPECT_EQ(exchange(0x0026), (std::vector<Reply>{ACK} + draw("Empty", "")));
    EXPECT_EQ(exchange(0x0025, {1}), (std::vector<Reply>{ACK} + draw("Empty", "")));
}

TEST_F(StrataMenu, ButtonOpensAndClosesAndMovesADialogToThePressingSide)
{
    strataLinkConfiguration.isStrataMenuHandledByFirmware = 1;
    const std::string label = "QMR-1300-D";
    size_t from = peer.received().size();
    strataButtonPressed(1);
    EXPECT_EQ(replies(from), (draw(label, "Card") + draw(label, "FW Unknown")));
    from = peer.received().size();
    strataButtonPressed(1);
    EXPECT_EQ(replies(from), (std::vector<Reply>{HOME, CLEAR}));

    /* a dialog of another address moves to the controller's side */
    from = peer.received().size();
    ASSERT_EQ(menuMessageHandler(0x16, 0x0005, nullptr, 0), 1);
    strataButtonPressed(1);
    std::vector<Packet> got = untilMarkers(from);
    ASSERT_EQ(got.size(), 1u + 8u + 2u + 8u);
    EXPECT_EQ(got[0].destination, 0x16);
    EXPECT_EQ(got[9].destination, 0x16);
    EXPECT_EQ(got[9].opcode, 0x0023);
    EXPECT_EQ(got[10].destination, 0x16);
    EXPECT_EQ(got[10].opcode, 0x0020);
    EXPECT_EQ(got[11].destination, STRATA_CONTROLLER_ADDRESS);
    EXPECT_EQ(got[11].opcode, 0x0020);
}

TEST_F(StrataMenu, FourBytesOnTheButtonNodeOpenTheMenu)
{
    strataLinkConfiguration.isStrataMenuHandledByFirmware = 1;
    ASSERT_EQ(cardsimButtonCreate(), 0);
    static bool registered = false;
    if (!registered) {
        registerStrataButtonListener(strataButtonPressed, strataCategory());
        registered = true;
    }
    size_t from = peer.received().size();
    int written = -1;
    /* the listener opens the node on its own thread */
    for (int i = 0; i < 2000 && (written = cardsimButtonPress(1)) != 0; i++)
        usleep(10000);
    ASSERT_EQ(written, 0);
    /*
     * The listener draws on its own thread: its last line first, then the
     * listener back in its read of the empty node, so that whatever else the
     * four bytes made it draw is already on its way before the markers.
     */
    const Reply last = line(0x40, "FW Unknown");
    ASSERT_TRUE(peer.waitFor([&](const Packet &p) { return Reply{p.opcode, p.data} == last; }, 20000, nullptr, from));
    pid_t reader = 0;
    for (int i = 0; i < 5000 && (reader = buttonReaderWaiting()) == 0; i++)
        usleep(2000);
    ASSERT_NE(reader, 0) << "the button listener did not wait on its node again";
    const std::string label = "QMR-1300-D";
    EXPECT_EQ(replies(from), (draw(label, "Card") + draw(label, "FW Unknown")));
}

TEST_F(StrataMenu, EnterWithAFullStackTakesNothingOffIt)
{
    static strataMenuItem_t marker = {nullptr, 0, "m", nullptr, 0};
    exchange(0x0005);
    exchange(0x0025, {2});
    ASSERT_EQ(strataMenuSelected(), 2);
    for (int i = 0; i < STRATA_MENU_STACK_SIZE; i++)
        ASSERT_EQ(menuStackPush(&marker), 1);
    /* Network has children, but there is no room to remember where we were: nothing moves */
    EXPECT_EQ(exchange(0x0026), (std::vector<Reply>{ACK} + draw("QMR-1300-D", "Network")));
    int held = 0;
    while (menuStackPop() == &marker)
        held++;
    EXPECT_EQ(held, STRATA_MENU_STACK_SIZE);
}

TEST_F(StrataMenu, HundredthPushIsRefused)
{
    static strataMenuItem_t item = {nullptr, 0, "m", nullptr, 0};
    menuStackClear();
    for (int i = 0; i < 99; i++)
        ASSERT_EQ(menuStackPush(&item), 1) << i;
    EXPECT_EQ(menuStackPush(&item), 0);
    EXPECT_EQ(menuStackTop(), &item);
    for (int i = 0; i < 99; i++)
        EXPECT_EQ(menuStackPop(), &item);
    EXPECT_EQ(menuStackPop(), nullptr);
}

} // namespace
