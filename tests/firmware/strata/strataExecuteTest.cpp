#include "StrataTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "fwEnv/fwEnv.h"
#include "platform/platform.h"
#include "platform/platformPrivate.h"

using namespace strataTest;
using firmwareTest::TestLog;
using ctrlpeer::Packet;

namespace {


/* Reboots the hal recorded so far. */
size_t rebootCount()
{
    std::string log = halLog();
    size_t n = 0;
    for (size_t at = log.find("reboot\n"); at != std::string::npos; at = log.find("reboot\n", at + 1))
        n++;
    return n;
}
/* The card acknowledges before it acts: waits up to 5 s for `count` reboots in the hal's record. */
bool waitForReboots(size_t count)
{
    for (int i = 0; i < 500 && rebootCount() < count; i++)
        usleep(10000);
    return rebootCount() >= count;
}

/* The same for a line of the hal's record. */
bool waitForHalLog(const std::string &needle)
{
    for (int i = 0; i < 2000 && halLog().find(needle) == std::string::npos; i++)
        usleep(10000);
    return halLog().find(needle) != std::string::npos;
}


class StrataExecute : public StrataLink {
protected:
    /*
     * Sends one message from the controller and returns what the card answered.
     * An answer that waits for the controller's own answer to a question of the
     * card comes after that round trip: `last` names it, and it is awaited first.
     */
    std::vector<Reply> exchange(uint16_t opcode, const Bytes &data, uint16_t last = STRATA_OPCODE_ACK)
    {
        size_t from = peer.received().size();
        peer.sendMessage(opcode, data);
        if (last != STRATA_OPCODE_ACK) {
            EXPECT_TRUE(peer.waitOpcode(last, MARKER_WAIT_MS, nullptr, from));
        }
        std::vector<Reply> replies;
        for (const Packet &p : untilMarkers(from))
            replies.push_back(Reply{p.opcode, p.data});
        return replies;
    }
};

struct ExecCase {
    const char *name;
    uint8_t state;
    uint16_t opcode;
    Bytes data;
    std::vector<Reply> replies;
};

class StrataExecuteTable : public StrataExecute, public ::testing::WithParamInterface<ExecCase> {};

TEST_P(StrataExecuteTable, AnswersAsTheControllerExpects)
{
    const ExecCase &c = GetParam();
    raiseState(c.state);
    EXPECT_EQ(exchange(c.opcode, c.data), c.replies);
}

const Bytes devId = {0x00, 0xA9, 0x00, 0x81, 0x04, 0x20, 'Q', 'M', 'R', '-', '1', '1', '0', '0', 0x00};

INSTANTIATE_TEST_SUITE_P(
    Messages, StrataExecuteTable,
    ::testing::Values(
        ExecCase{"CommTest", 3, 0x0010, {}, {{0x0011, {0xFF, 0x55, 0xAA}}}},
        ExecCase{"Ping0D", 3, 0x000D, {}, {{0x0007, {0x00}}}},
        ExecCase{"DevIdRequest", 3, 0x0012, {}, {ACK, {0x0013, devId}}},
        ExecCase{"DevIdFromController", 3, 0x0013, {}, {ACK}},
        ExecCase{"Opcode18", 3, 0x0018, {}, {ACK}},
        ExecCase{"LabelOfEight", 3, 0x0019, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}, {ACK}},
        ExecCase{"LabelOfNine", 3, 0x0019, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'}, {nack(6)}},
        ExecCase{"FrameStatusTooShort", 3, 0x003D, {1, 2, 3}, {nack(10)}},
        ExecCase{"FrameStatus", 3, 0x003D, {0, 3, 0x3F, 0x3F, 0, 0, 0, 0}, {ACK}},
        ExecCase{"Opcode124InState1", 1, 0x0124, {1}, {nack(6)}},
        ExecCase{"Opcode124WrongByte", 1, 0x0124, {2}, {nack(6)}},
        ExecCase{"UpgradeStatusQuery", 3, 0x0152, {}, {ACK, {0x0153, {0x01}}}},
        ExecCase{"AtdmWithoutIndex", 3, 0x0206, {}, {nack(10)}},
        ExecCase{"Opcode218", 3, 0x0218, {}, {nack(2)}},
        ExecCase{"IpConfigV2Interface2", 3, 0x100F, Bytes(20, 0x02), {ACK}},
        ExecCase{"IpConfigV2TooShort", 3, 0x100F, {0, 0, 10}, {nack(10)}},
        ExecCase{"RestorePointConfig", 3, 0x101B, {1}, {ACK}},
        ExecCase{"FrameType", 3, 0x101E, {2}, {ACK}},
        ExecCase{"FrameTypeWithoutData", 3, 0x101E, {}, {nack(10)}},
        ExecCase{"Capabilities", 3, 0x3201, {1}, {ACK}},
        ExecCase{"Vlan2TwoCardsNotAcknowledged", 3, 0x3060, {0, 10, 2, 3, 2, 21}, {}},
        ExecCase{"TimeWithoutData", 3, 0x012B, {0x07, 0xEA}, {nack(10)}},
        ExecCase{"LinkStateWithoutData", 3, 0x000C, {}, {nack(10)}},
        ExecCase{"UpgradeModeWithoutData", 3, 0x0017, {}, {nack(10)}},
        ExecCase{"UpdateWhileNotInFtpMode", 3, 0x0017, {1}, {nack(10)}},
        ExecCase{"ApplicationModeInNormalMode", 3, 0x0017, {10}, {ACK}},
        ExecCase{"UnknownUpgradeModeIgnored", 3, 0x0017, {7}, {}},
        ExecCase{"CardRoleOfCardA", 3, 0x6500, {}, {ACK, {0x6501, {'C', 'a', 'r', 'd', ' ', 'A', 0}}}},
        ExecCase{"InputStatusWithoutProbeDataIsBusy", 3, 0x1430, {}, {nack(1)}},
        ExecCase{"QvsMessageWithoutBridge", 3, 0x7777, {1, 2}, {nack(1)}},
        ExecCase{"MenuWithoutBridge", 3, 0x0005, {1}, {nack(6)}},
        ExecCase{"SetMemBlockOfAnotherCard", 3, 0x0016, {0x00, 0x82, 'a'}, {nack(5)}},
        ExecCase{"SetMemBlockWithoutIdentity", 3, 0x0016, {0x00}, {nack(10)}},
        ExecCase{"SetMemBlock", 3, 0x0016, {0x00, 0x81, 'i', 'p', '=', '\n'}, {ACK}},
        ExecCase{"GetIpConfig", 3, 0x0044, {},
                 {ACK, {0x0045, {1, 10, 0, 0, 21, 255, 255, 255, 0, 10, 0, 0, 1, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}}}},
        ExecCase{"GetVideoConfigWithoutIndex", 3, 0x0047, {}, {ACK, {0x0048, {0xFF, 0xFF}}}},
        ExecCase{"GetGfxConfigMissingServersAreZero", 3, 0x004A, {},
                 {ACK, {0x004B, {10, 0, 0, 21, 255, 255, 255, 0, 10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}}}},
        ExecCase{"SetIpConfigTooShort", 3, 0x0046, {10, 0, 0, 22}, {nack(10)}},
        ExecCase{"SetMacTooShort", 3, 0x0130, {1, 2, 3}, {nack(10)}}),
    [](const ::testing::TestParamInfo<ExecCase> &info) { return std::string(info.param.name); });

TEST_F(StrataExecute, AckAndNackFromTheControllerAreNotAnswered)
{
    raiseState(3);
    /*
     * A NACK that comes while the card waits for the acknowledgement of its
     * last packet is its answer: each one is sent once the card has taken the
     * acknowledgement of every packet it sent.
     */
    auto untilAcknowledged = [&] {
        auto sent = [&] {
            auto all = peer.received();
            return (size_t)std::count_if(all.begin(), all.end(), [](const Packet &p) { return p.opcode >= 2; });
        };
        for (int i = 0; i < 2000 && TestLog::instance().count("We got an ack.") < sent(); i++)
            usleep(10000);
        ASSERT_GE(TestLog::instance().count("We got an ack."), sent());
    };
    untilAcknowledged();
    EXPECT_TRUE(exchange(0x0000, {}).empty());
    untilAcknowledged();
    EXPECT_TRUE(exchange(0x0001, {6}).empty());
}

TEST_F(StrataExecute, LinkStateMessageSetsTheState)
{
    for (uint8_t state : {2, 0, 3, 1}) {
        SCOPED_TRACE((int)state);
        EXPECT_EQ(exchange(0x000C, {state}), (std::vector<Reply>{ACK}));
        EXPECT_EQ(strataGetCommState(), state);
    }
}

TEST_F(StrataExecute, Opcode124InStateZeroIsEchoed)
{
    EXPECT_EQ(exchange(0x0124, {1}), (std::vector<Reply>{ACK, {0x0125, {1}}}));
}

TEST_F(StrataExecute, CardLabelIsCutToSevenCharacters)
{
    raiseState(3);
    exchange(0x0019, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
    char label[STRATA_LABEL_SIZE];
    strataGetCardLabel(label);
    EXPECT_STREQ(label, "ABCDEFG");
    EXPECT_TRUE(TestLog::instance().contains("got card label message: card label set to ABCDEFG"));
}

TEST_F(StrataExecute, RepliesFillTheQuerySlots)
{
    raiseState(3);
    exchange(0x101E, {7});
    exchange(0x101B, {4});
    exchange(0x3201, {9});
    exchange(0x3060, {0, 10, 2, 3, 1, 21});
    exchange(0x100F, {0, 0, 192, 168, 1, 20, 255, 255, 255, 0, 192, 168, 1, 1, 1, 2, 3, 4, 5, 6});
    uint8_t value = 0;
    uint32_t address = 0;
    EXPECT_EQ(strataGetFrameType(&value, 0), 0);
    EXPECT_EQ(value, 7);
    strataGetRestorePointConfig(&value, 0);
    EXPECT_EQ(value, 4);
    strataGetControllerCapabilities(&value, 0);
    EXPECT_EQ(value, 9);
    strataGetVlan2CardIp(&value, 0);
    EXPECT_EQ(value, 0);
    strataGetFrameIpAddress(0, &address, 0);
    EXPECT_EQ(address, 0xC0A80114u);
    exchange(0x3060, {0, 10, 2, 3, 2, 21});
    strataGetVlan2CardIp(&value, 0);
    EXPECT_EQ(value, 0xFF);
}

TEST_F(StrataExecute, MemBlockRequestSendsTheTextInPackets)
{
    raiseState(3);
    auto replies = exchange(0x0014, {});
    ASSERT_GE(replies.size(), 2u);
    EXPECT_EQ(replies[0], ACK);
    std::string text;
    for (size_t i = 1; i < replies.size(); i++) {
        EXPECT_EQ(replies[i].opcode, 0x0015);
        text.append(replies[i].data.begin(), replies[i].data.end());
    }
    EXPECT_EQ(text, "ipaddr=10.0.0.21\nnetmask=255.255.255.0\ngatewayip=10.0.0.1\nframeipaddr=10.0.0.2\n"
                    "sfp1disable=\nsfp2disable=\n");
    EXPECT_TRUE(waitForHalLog("program trigBackup.sh")) << halLog();
}

TEST_F(StrataExecute, SetIpConfigStoresAcknowledgesAndAsksForTheRestorePoint)
{
    raiseState(3);
    auto replies = exchange(0x0046, {10, 0, 0, 22, 255, 255, 0, 0, 10, 0, 0, 254, 0});
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], ACK);
    EXPECT_EQ(replies[1], (Reply{0x102D, {0, 0, 0}}));
    EXPECT_EQ(exchange(0x0044, {})[1].data,
              (Bytes{1, 10, 0, 0, 22, 255, 255, 0, 0, 10, 0, 0, 254, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(halLog().find("command /sbin/init 6"), std::string::npos);
    exchange(0x0046, {10, 0, 0, 21, 255, 255, 255, 0, 10, 0, 0, 1, 1});
    EXPECT_TRUE(waitForHalLog("command /sbin/init 6")) << halLog();
}

TEST_F(StrataExecute, VideoSystemConfigRoundTrip)
{
    raiseState(3);
    EXPECT_EQ(exchange(0x0049, {0x01, 0x2C, 0}), (std::vector<Reply>{ACK}));
    EXPECT_EQ(exchange(0x0047, {}), (std::vector<Reply>{ACK, {0x0048, {0x01, 0x2C}}}));
    struct stat info;
    EXPECT_EQ(stat((cardRoot() / "usr/local/q7/logs/doNotPerformHotSwapScriptAction").c_str(), &info), 0);
}

TEST_F(StrataExecute, SetMacKeepsTheSeparatorAndRebootsOnRequest)
{
    raiseState(3);
    size_t rebootsBefore = rebootCount();
    Bytes data = {0, 0, 0, 0, 0, 0, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0};
    EXPECT_EQ(exchange(0x0130, data), (std::vector<Reply>{ACK}));
    char value[64] = "";
    ASSERT_EQ(fwEnvGetEnvCopy("ethaddr", value, sizeof value), 0);
    EXPECT_STREQ(value, "00:aa:bb:cc:dd:ee");
    EXPECT_EQ(rebootCount(), rebootsBefore);
    data[12] = 1;
    data[7] = 0x11;
    EXPECT_EQ(exchange(0x0130, data), (std::vector<Reply>{ACK}));
    EXPECT_TRUE(waitForReboots(rebootsBefore + 1)) << halLog();
    EXPECT_EQ(rebootCount(), rebootsBefore + 1);
}

TEST_F(StrataExecute, FailedBootEnvironmentWriteIsNackedTenWithoutReboot)
{
    raiseState(3);
    std::string config = cardRoot() / "etc/fw_env.config";
    ASSERT_EQ(rename(config.c_str(), (config + ".away").c_str()), 0);
    std::string before = halLog();
    Bytes gfxData(21, 1);
    auto gfx = exchange(0x004C, gfxData);
    auto ip = exchange(0x0046, {10, 0, 0, 30, 255, 0, 0, 0, 10, 0, 0, 1, 1});
    auto video = exchange(0x0049, {0, 1, 1});
    ASSERT_EQ(rename((config + ".away").c_str(), config.c_str()), 0);
    EXPECT_EQ(gfx, (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(ip, (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(video, (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(halLog(), before);
}

TEST_F(StrataExecute, FrameLedBecomesAPcodeTheProcessorAccepts)
{
    raiseState(3);
    size_t mark = TestLog::instance().mark();
    EXPECT_EQ(exchange(0x103B, {1, 2, 3, 4}), (std::vector<Reply>{ACK}));
    std::string log = TestLog::instance().since(mark);
    /* no decoder runs in this test: the pcode reaches it whole and is dropped there, not refused */
    EXPECT_NE(log.find("pcode class=1, id=4 dropped"), std::string::npos);
    EXPECT_EQ(log.find("refused"), std::string::npos);
}

TEST_F(StrataExecute, HardwareRevisionAnswer)
{
    raiseState(3);
    /* The main board revision in bits 6-3 (its low four bits), the extra revision (none: 0) in bits 2-0. */
    const struct {
        uint32_t mainHwRev;
        uint8_t answer;
    } cases[] = {{0, 0x00}, {1, 0x08}, {5, 0x28}, {7, 0x38}, {0x1D, 0x68}};
    uint32_t saved = platformRecord.mainHwRev;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mainHwRev);
        platformRecord.mainHwRev = c.mainHwRev;
        EXPECT_EQ(exchange(0x1039, {}), (std::vector<Reply>{ACK, {0x103A, {c.answer}}}));
    }
    platformRecord.mainHwRev = saved;
}

TEST_F(StrataExecute, UnknownOpcodeWithRelayOffEndsAsNotSupported)
{
    raiseState(3);
    strataLinkConfiguration.qvsRelay = 0;
    /* GET_STATUS reaches the firmware, which refuses it */
    EXPECT_EQ(exchange(0x1009, {}), (std::vector<Reply>{nack(6)}));
}

TEST_F(StrataExecute, LinkTimeMessageSetsTheClockThroughTheHal)
{
    raiseState(3);
    EXPECT_EQ(exchange(0x1018, {0x65, 0x00, 0x00, 0x01}), (std::vector<Reply>{ACK}));
    EXPECT_TRUE(waitForHalLog("settime 1694498817.000000")) << halLog();
}

void writeStatusFile(const char *text)
{
    std::ofstream(cardRoot() / "tmp/fum-update-status") << text;
}

TEST_F(StrataExecute, UpgradeProtocolThroughTheFrameUpdateManager)
{
    // The update thread gives up after 30 reads without a status file: leave
    // a loaded machine seconds, not a fraction of one, to write it.
    strataTiming.upgradePollMs = 200;
    raiseState(3);
    const Reply ready{0x0153, {0x01, 0x00, 0x00}};
    std::string lock = cardRoot() / "var/lock/updateManager.lock";
    unlink(lock.c_str());
    std::ofstream(lock) << "other";
    EXPECT_EQ(exchange(0x0017, {2}), (std::vector<Reply>{nack(1)}));
    unlink(lock.c_str());

    EXPECT_EQ(exchange(0x0017, {2}), (std::vector<Reply>{ACK, ready}));
    EXPECT_EQ(strataGetUpgradeMode(), 1u);
    EXPECT_EQ(exchange(0x0017, {16}), (std::vector<Reply>{ACK, ready}));
    EXPECT_EQ(strataGetUpgradeMode(), 2u);
    EXPECT_EQ(exchange(0x0017, {2}), (std::vector<Reply>{nack(10)}));
    EXPECT_TRUE(waitForHalLog("command /etc/init.d/vsftpd start")) << halLog();

    /* leaving FTP mode stops the server */
    size_t stopsBefore = 0;
    for (size_t at = halLog().find("vsftpd stop"); at != std::string::npos; at = halLog().find("vsftpd stop", at + 1))
        stopsBefore++;
    EXPECT_EQ(exchange(0x0017, {0}), (std::vector<Reply>{ACK, ready}));
    EXPECT_EQ(strataGetUpgradeMode(), 1u);
    size_t stopsAfter = 0;
    for (size_t at = halLog().find("vsftpd stop"); at != std::string::npos; at = halLog().find("vsftpd stop", at + 1))
        stopsAfter++;
    EXPECT_EQ(stopsAfter, stopsBefore + 1);

    /* an update that runs: upgrade_mode 0 is refused busy while it runs */
    exchange(0x0017, {16});
    size_t from = peer.received().size();
    peer.sendMessage(0x0017, {1});
    ASSERT_TRUE(peer.waitFor([](const Packet &p) { return p.opcode == 0x0153 && p.data == Bytes{0x02, 0x00, 0x00}; },
                             20000, nullptr, from));
    /* On a loaded machine the update thread may not poll for seconds: wait for events, with room.
       The thread deletes an old status file before it starts the script: write the new one after that. */
    ASSERT_TRUE(waitForHalLog("command /sbin/fum-update.sh /upgrade/fum-ftp/in")) << halLog();
    writeStatusFile("2\nCopying\n40\n");
    Packet progress;
    ASSERT_TRUE(peer.waitFor([](const Packet &p) { return p.opcode == 0x0153 && p.data.size() > 1 && p.data[1] == 40; },
                             20000, &progress, from))
        << TestLog::instance().text().substr(TestLog::instance().text().size() - 3000);
    EXPECT_EQ(progress.data, (Bytes{0x02, 40, 'C', 'o', 'p', 'y', 'i', 'n', 'g', 0}));
    EXPECT_EQ(strataGetUpgradeMode(), 3u);
    EXPECT_TRUE(waitForHalLog("command /sbin/fum-update.sh /upgrade/fum-ftp/in")) << halLog();
    /* the log redirection is plain /bin/sh syntax */
    EXPECT_NE(halLog().find("command /sbin/fum-update.sh /upgrade/fum-ftp/in > /var/log/fum-update.log 2>&1"),
              std::string::npos);
    from = peer.received().size();
    peer.sendMessage(0x0017, {0});
    Packet busy;
    ASSERT_TRUE(peer.waitOpcode(STRATA_OPCODE_NACK, 10000, &busy, from));
    EXPECT_EQ(busy.data, Bytes{STRATA_NACK_BUSY});
    EXPECT_EQ(strataGetUpgradeMode(), 3u);

    from = peer.received().size();
    writeStatusFile("240\nDone\n100\n");
    Packet final;
    ASSERT_TRUE(peer.waitFor([](const Packet &p) { return p.opcode == 0x0153 && p.data[0] == 0xF0; }, 20000, &final,
                             from));
    EXPECT_EQ(final.data, (Bytes{0xF0, 100, 'D', 'o', 'n', 'e', 0}));
    strataJoinUpgradeThread();
    EXPECT_EQ(strataGetUpgradeMode(), 1u);

    /* back to the application: lock released, and the installed upgrade reboots the card */
    size_t rebootsBefore = rebootCount();
    EXPECT_EQ(exchange(0x0017, {10}), (std::vector<Reply>{ACK}));
    EXPECT_EQ(strataGetUpgradeMode(), 0u);
    EXPECT_TRUE(waitForReboots(rebootsBefore + 1)) << halLog();
    EXPECT_EQ(rebootCount(), rebootsBefore + 1);
    struct stat info;
    EXPECT_NE(stat(lock.c_str(), &info), 0);
}

TEST_F(StrataExecute, UpgradePortOnAVlanAsksTheControllerForTheFtpPorts)
{
    /* qvoutil -V succeeds under this card root: the card is on a VLAN */
    raiseState(3);
    /* the peer answers FTP_UPGRADE_PORTS itself (command port 21); the card acknowledges and replies */
    EXPECT_EQ(exchange(0x0150, {}, 0x0151),
              (std::vector<Reply>{ACK, {0x305D, {}}, ACK, {0x0151, {0, 0, 0, 0, 0, 0x00, 0x15}}}));
    EXPECT_EQ(exchange(0x305E, {0x00, 0x15, 0xC3, 0x50}), (std::vector<Reply>{ACK, {0x0151, {0, 0, 0, 0, 0, 0x00, 0x15}}}));
    /* the data port is what the FTP server is started with */
    std::ofstream(cardRoot() / "etc/vsftpd.conf") << "listen=YES\npasv_enable=NO\npasv_min_port=1\npasv_max_port=1\n";
    exchange(0x0017, {2});
    exchange(0x0017, {16});
    EXPECT_NE(firmwareTest::readFile(cardRoot() / "etc/vsftpd.conf").find("pasv_min_port=50000"), std::string::npos);
    exchange(0x0017, {0});
    exchange(0x0017, {10});
}

TEST_F(StrataExecute, NqAsiAndAtdmAnswersFollowTheCardsInputs)
{
    raiseState(3);
    if (!platformIsUsingNqAsiInputs()) {
        EXPECT_EQ(exchange(0x0200, {}), (std::vector<Reply>{nack(2)}));
        EXPECT_EQ(exchange(0x0206, {0}), (std::vector<Reply>{nack(2)}));
        return;
    }
    /* card A: inputs 0-8 and head 1 */
    EXPECT_EQ(exchange(0x0200, {}), (std::vector<Reply>{ACK, {0x0201, {0x01, 0xFF, 0x00, 0x03}}}));
    Bytes atdm(38, 0);
    atdm[1] = 0x01;
    EXPECT_EQ(exchange(0x0206, {0}), (std::vector<Reply>{ACK, {0x0207, atdm}}));
    size_t from = peer.received().size();
    peer.sendMessage(0x0202, {1});
    auto got = untilMarkers(from);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].opcode, 0x0203);
    EXPECT_EQ(got[1].destination, STRATA_REPORT_ADDRESS);
    EXPECT_EQ(got[1].data.size(), 17u);
}

} // namespace
