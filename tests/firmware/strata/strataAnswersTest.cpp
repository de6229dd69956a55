#include "StrataTestSupport.h"

#include "fwEnv/fwEnv.h"
#include "platform/platform.h"
#include "platform/platformPrivate.h"
#include "strata/strataAnswers.h"

#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

using namespace strataTest;
using ctrlpeer::Packet;

namespace {


Bytes text(uint8_t prefix, const std::string &s)
{
    Bytes b(s.size() + 2, 0);
    b[0] = prefix;
    for (size_t i = 0; i < s.size(); i++)
        b[i + 1] = (uint8_t)s[i];
    return b;
}

/* The card's status block as a map of byte offset to 16-bit word. */
std::mutex wordsMutex;
std::map<uint32_t, uint16_t> words;
uint16_t readWord(uint32_t offset)
{
    std::lock_guard<std::mutex> lock(wordsMutex);
    auto it = words.find(offset);
    return it == words.end() ? 0 : it->second;
}
void setWord(uint32_t offset, uint16_t value)
{
    std::lock_guard<std::mutex> lock(wordsMutex);
    words[offset] = value;
}

int madi = 0;
int readMadi(void) { return madi; }

strataVideoInputRecord probed{};
int readInput(uint32_t input, strataVideoInputRecord *out)
{
    *out = probed;
    out->inputIndex = input;
    return 0;
}

sdiOutputStatusRecord heads[2];
const sdiOutputStatusRecord *readHead(uint32_t head) { return head < 2 ? &heads[head] : nullptr; }

class StrataAnswers : public StrataLink {
protected:
    void SetUp() override
    {
        StrataLink::SetUp();
        {
            std::lock_guard<std::mutex> lock(wordsMutex);
            words.clear();
        }
        madi = 0;
        probed = strataVideoInputRecord{};
        memset(heads, 0, sizeof heads);
        strataAnswersSetBlockWordReader(readWord);
        strataRegisterMadiReader(readMadi);
        strataRegisterVideoInputReader(readInput);
        strataRegisterHeadStatusReader(readHead);
        strataAnswersSetFactoryRebootPause(0);
        savedSlot = platformRecord.rearSlot;
        savedHw = platformRecord.cardHwType;
        platformRecord.rearSlot = 3; /* slot D */
        platformRecord.cardHwType = 0; /* takes NqAsi inputs */
        raiseState(3);
    }
    void TearDown() override
    {
        strataAnswersSetBlockWordReader(nullptr);
        strataRegisterVideoInputReader(nullptr);
        strataRegisterHeadStatusReader(nullptr);
        platformRecord.rearSlot = savedSlot;
        platformRecord.cardHwType = savedHw;
        StrataLink::TearDown();
    }
    std::vector<Reply> exchange(uint16_t opcode, const Bytes &data)
    {
        size_t from = peer.received().size();
        peer.sendMessage(opcode, data);
        std::vector<Reply> replies;
        for (const Packet &p : untilMarkers(from))
            replies.push_back(Reply{p.opcode, p.data});
        return replies;
    }
    uint32_t savedSlot = 0;
    uint16_t savedHw = 0;
};

/* The block offsets of video input i. */
uint32_t inputStatus(uint32_t i) { return 2176 + 388 * i; }
uint32_t inputFormat(uint32_t i) { return 2180 + 388 * i; }

TEST_F(StrataAnswers, CardStatusQueryIsAcknowledgedThenAnsweredUnderTheNextDecimalOpcode)
{
    setWord(10, 0x0001);
    EXPECT_EQ(exchange(0x6009, {}), (std::vector<Reply>{ACK, {0x6010, {0x01}}}));
    setWord(10, 0x0102); /* bits 1 and 8 only */
    EXPECT_EQ(exchange(0x6009, {}), (std::vector<Reply>{ACK, {0x6010, {0x00}}}));
    EXPECT_EQ(exchange(0x6005, {}), (std::vector<Reply>{ACK, {0x6006, {0x01}}}));
    EXPECT_EQ(exchange(0x6017, {}), (std::vector<Reply>{ACK, {0x6018, {0x01}}}));
}

TEST_F(StrataAnswers, VideoFormatNamesByIndexWithTheirTerminator)
{
    struct Case {
        uint8_t input;
        uint16_t status, format;
        int madiOn;
        std::string name;
    };
    const Case cases[] = {
        {0, 0x0001, 51 << 8, 0, "1080p59.94"},
        {3, 0x0001, 10 << 8, 0, "1080i59.94/PsF29.97"},
        {4, 0x0001, 50 << 8, 0, "Unsupported DVI format "},
        {5, 0x0001, 1 << 8, 0, "Unknown HD"},
        {6, 0x0001, 43 << 8, 0, "Unknown SD"},
        {1, 0x0001, 55 << 8, 0, "Unsupported format"},
        {2, 0x0001, 63 << 8, 0, "Unsupported format"},
        {7, 0x0000, 51 << 8, 0, "No video format"},
        {8, 0x0000, 0, 1, "MADI"},
        {7, 0x0000, 0, 1, "No video format"}, /* MADI only concerns input 8 */
    };
    for (const Case &c : cases) {
        setWord(inputStatus(c.input), c.status);
        setWord(inputFormat(c.input), c.format);
        madi = c.madiOn;
        EXPECT_EQ(exchange(0x6102, {c.input}), (std::vector<Reply>{ACK, {0x6103, text(c.input, c.name)}})) << c.name;
    }
}

TEST_F(StrataAnswers, VideoIndexQueriesRefuseAMissingOrOutOfRangeIndex)
{
    for (uint16_t opcode : {0x6001, 0x6003, 0x6102}) {
        EXPECT_EQ(exchange(opcode, {}), (std::vector<Reply>{nack(6)}));
        EXPECT_EQ(exchange(opcode, {1, 2}), (std::vector<Reply>{nack(6)}));
        EXPECT_EQ(exchange(opcode, {9}), (std::vector<Reply>{nack(6)}));
    }
}

TEST_F(StrataAnswers, LossAndErrorFollowTheInputStatusWord)
{
    setWord(inputStatus(2), 0x0005); /* present, error */
    EXPECT_EQ(exchange(0x6001, {2}), (std::vector<Reply>{ACK, {0x6002, {2, 0}}}));
    EXPECT_EQ(exchange(0x6003, {2}), (std::vector<Reply>{ACK, {0x6004, {2, 1}}}));
    EXPECT_EQ(exchange(0x6001, {3}), (std::vector<Reply>{ACK, {0x6002, {3, 1}}}));
    EXPECT_EQ(exchange(0x6003, {3}), (std::vector<Reply>{ACK, {0x6004, {3, 0xFF}}}));
    madi = 1;
    EXPECT_EQ(exchange(0x6001, {8}), (std::vector<Reply>{ACK, {0x6002, {8, 0}}}));
    EXPECT_EQ(exchange(0x6003, {8}), (std::vector<Reply>{ACK, {0x6004, {8, 0}}}));
}

TEST_F(StrataAnswers, ReferenceAndModelTexts)
{
    setWord(190, 0x0201);
    EXPECT_EQ(exchange(0x6100, {}), (std::vector<Reply>{ACK, {0x6101, {'5', '0', ' ', 'H', 'z', 0}}}));
    EXPECT_EQ(exchange(0x6007, {}), (std::vector<Reply>{ACK, {0x6008, {0}}}));
    setWord(190, 0x0900);
    auto replies = exchange(0x6100, {});
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(std::string(replies[1].data.begin(), replies[1].data.end()), std::string("Not Supported", 14));
    EXPECT_EQ(exchange(0x6007, {}), (std::vector<Reply>{ACK, {0x6008, {1}}}));
    setWord(186, 0x0101);
    EXPECT_EQ(exchange(0x6110, {}), (std::vector<Reply>{ACK, {0x6111, {'6', '0', ' ', 'H', 'z', 0}}}));
    EXPECT_EQ(exchange(0x6104, {}), (std::vector<Reply>{ACK, {0x6105, {'N', '/', 'A', 0}}}));
    EXPECT_EQ(exchange(0x1007, {}),
              (std::vector<Reply>{ACK, {0x1008, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF}}}));
}

struct InputCase {
    const char *name;
    strataVideoInputRecord record;
    uint16_t reference;
    Bytes expected;
};

TEST_F(StrataAnswers, InputStatusRecords)
{
    const InputCase cases[] = {
        {"good", {0, 0x10, 1, 0, 5994}, 0x0101, {0, 0, 0, 0, 0, 0}},
        {"rateMismatch", {0, 0x10, 1, 0, 5000}, 0x0101, {0xFE, 0, 0, 0, 8, 0}},
        {"fiftyOnFifty", {0, 0x10, 1, 0, 2500}, 0x0201, {0, 0, 0, 0, 0, 0}},
        {"oddRate", {0, 0x10, 1, 0, 2400}, 0x0101, {0xFE, 0, 0, 0, 8, 0}},
        {"noReference", {0, 0x10, 1, 0, 5994}, 0x0100, {0xFE, 0, 0, 0, 8, 0}},
        {"noVideo", {0, 0x10, 0, 0, 5994}, 0x0101, {0xFD, 0, 0, 0, 2, 0xFD}},
        {"unknownFormat", {0, 0xFFFF, 1, 0, 5000}, 0x0101, {0xFD, 0, 0, 0, 4, 0xFD}},
        {"unknownFormatFF", {0, 0xFF, 1, 0, 5994}, 0x0101, {0xFD, 0, 0, 0, 4, 0xFD}},
    };
    for (const InputCase &c : cases) {
        setWord(186, c.reference);
        uint8_t out[6];
        ASSERT_EQ(platformStrataGetInputStatus(strataService.category, &c.record, out), 0) << c.name;
        EXPECT_EQ(Bytes(out, out + 6), c.expected) << c.name;
    }
    uint8_t out[6];
    EXPECT_EQ(platformStrataGetInputStatus(strataService.category, nullptr, out), 3);
    strataVideoInputRecord madiInput{8, 0xFF, 0, 0, 0};
    madi = 1;
    ASSERT_EQ(platformStrataGetInputStatus(strataService.category, &madiInput, out), 0);
    EXPECT_EQ(Bytes(out, out + 6), Bytes(6, 0));
}

TEST_F(StrataAnswers, InputStatusRequestsAnswerRequestPlusOne)
{
    setWord(186, 0x0101);
    probed = {0, 0x10, 1, 0, 5000};
    EXPECT_EQ(exchange(0x1410, {}), (std::vector<Reply>{ACK, {0x1411, {0xFE, 0, 0, 0, 8, 0}}}));
    probed = {0, 0x10, 0, 0, 0};
    EXPECT_EQ(exchange(0x1490, {}), (std::vector<Reply>{ACK, {0x1491, {0xFD, 0, 0, 0, 2, 0xFD}}}));
    strataRegisterVideoInputReader(nullptr);
    EXPECT_EQ(exchange(0x1420, {}), (std::vector<Reply>{nack(1)}));
}

TEST_F(StrataAnswers, OutputStatusRequestsByHead)
{
    heads[0] = {0, 1, 5994, 1, 0, 0, 0};
    heads[1] = {1, 1, 5994, 1, 0, 0, 1};
    EXPECT_EQ(exchange(0x1412, {}), (std::vector<Reply>{ACK, {0x1413, {0, 0, 0, 0, 0, 0}}}));
    EXPECT_EQ(exchange(0x1422, {}), (std::vector<Reply>{ACK, {0x1423, {0xFE, 0, 0, 0, 0x20, 0}}}));
    heads[1].notHdtv = 1;
    EXPECT_EQ(exchange(0x1422, {}), (std::vector<Reply>{ACK, {0x1423, {0xFD, 0, 0, 0, 4, 0xFD}}}));
    heads[0].enable = 0;
    EXPECT_EQ(exchange(0x1412, {}), (std::vector<Reply>{ACK, {0x1413, {0xFF, 0, 0, 0x80, 0, 0xFF}}}));
    /* no third head */
    EXPECT_EQ(exchange(0x1432, {}), (std::vector<Reply>{ACK, {0x1433, {0xFF, 0, 0, 0x80, 0, 0xFF}}}));
}

TEST_F(StrataAnswers, GlobalStreamTypeSetAndGet)
{
    platformSetKvrVideoStreamSetting(strataService.category, 255, 0);
    auto got = exchange(0x233C, {1});
    std::vector<Reply> expected{ACK, {0x233B, {1}}};
    for (uint8_t i = 0; i <= 8; i++)
        expected.push_back({0x1604, {i, 1}});
    EXPECT_EQ(got, expected);
    EXPECT_EQ(exchange(0x233A, {}), (std::vector<Reply>{ACK, {0x233B, {1}}}));
    /* no change: only the global report */
    EXPECT_EQ(exchange(0x233C, {1}), (std::vector<Reply>{ACK, {0x233B, {1}}}));
    EXPECT_EQ(exchange(0x233C, {2}), (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(exchange(0x233C, {}), (std::vector<Reply>{nack(6)}));
    EXPECT_EQ(exchange(0x1605, {9, 0}), (std::vector<Reply>{nack(6)}));
    EXPECT_EQ(exchange(0x1605, {3, 2}), (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(exchange(0x1605, {3, 0}), (std::vector<Reply>{ACK, {0x1604, {3, 0}}}));
    EXPECT_EQ(exchange(0x1603, {3}), (std::vector<Reply>{ACK, {0x1604, {3, 0}}}));
    EXPECT_EQ(exchange(0x1603, {9}), (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(exchange(0x1603, {}), (std::vector<Reply>{nack(6)}));
    /* in non-MDX mode an input's setting is ignored */
    platformSetKvrVideoStreamSetting(strataService.category, 255, 0);
    EXPECT_EQ(exchange(0x1605, {4, 1}), (std::vector<Reply>{ACK}));
}

TEST_F(StrataAnswers, RouterEnables)
{
    platformInitKvrVideoStreamSetting(strataService.category);
    EXPECT_EQ(exchange(0x1218, {}), (std::vector<Reply>{nack(6)}));
    EXPECT_EQ(exchange(0x1218, {9}), (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(exchange(0x121A, {1}), (std::vector<Reply>{nack(6)}));
    EXPECT_EQ(exchange(0x121A, {1, 2}), (std::vector<Reply>{nack(10)}));
    EXPECT_EQ(exchange(0x1220, {9, 1}), (std::vector<Reply>{nack(6)}));
    exchange(0x1220, {2, 1});
    EXPECT_EQ(exchange(0x1220, {2, 0}), (std::vector<Reply>{ACK, {0x121F, {2, 0}}}));
    EXPECT_EQ(exchange(0x121E, {2}), (std::vector<Reply>{ACK, {0x121F, {2, 0}}}));
}

TEST_F(StrataAnswers, RouterOpcodesWithoutNqAsiAreNotSupported)
{
    platformRecord.cardHwType = 1;
    ASSERT_FALSE(platformIsUsingNqAsiInputs());
    for (uint16_t opcode : {0x1218, 0x121A, 0x121E, 0x1220, 0x1603, 0x1605, 0x233A, 0x233C})
        EXPECT_EQ(exchange(opcode, {1, 1}), (std::vector<Reply>{nack(2)})) << std::hex << opcode;
}

TEST_F(StrataAnswers, ShortAndUnsupportedRequests)
{
    EXPECT_EQ(exchange(0x7000, {}), (std::vector<Reply>{nack(6)}));
    EXPECT_EQ(exchange(0x7000, {2}), (std::vector<Reply>{nack(6)}));
    EXPECT_EQ(exchange(0x7000, {1}), (std::vector<Reply>{ACK, {0x7001, {1, 0xFF}}}));
    EXPECT_EQ(exchange(0x5003, {1}), (std::vector<Reply>{nack(6)}));
    EXPECT_EQ(exchange(0x5001, {7}), (std::vector<Reply>{ACK, {0x5002, {7, 0}}}));
    EXPECT_EQ(exchange(0x5007, {}), (std::vector<Reply>{ACK, {0x5008, {0}}}));
    EXPECT_EQ(exchange(0x6013, {}), (std::vector<Reply>{ACK, {0x6014, {0xFF}}}));
    EXPECT_EQ(exchange(0x6500, {}), (std::vector<Reply>{ACK, {0x6501, {'C', 'a', 'r', 'd', ' ', 'D', 0}}}));
}

TEST_F(StrataAnswers, CardsAAndBLeaveTheStatusToTheApplication)
{
    struct Case {
        uint32_t slot;
        uint16_t opcode;
        int served;
    };
    const Case cases[] = {{0, 0x6009, 0}, {1, 0x6102, 0}, {0, 0x233C, 1}, {1, 0x1605, 1}, {2, 0x6009, 1},
                          {5, 0x001C, 1}, {3, 0xF01F, 1}, {3, 0x1410, 0}, {3, 0x6666, 0}, {0, 0x1218, 1}};
    for (const Case &c : cases) {
        platformRecord.rearSlot = c.slot;
        EXPECT_EQ(platformIsPrivateStrataMessage(c.opcode), c.served) << c.slot << " " << std::hex << c.opcode;
    }
}

TEST_F(StrataAnswers, BuildVersionFromThePropertiesFiles)
{
    mkdir((cardRoot().path() + "/usr/local/q7/conf").c_str(), 0755);
    FILE *f = fopen((cardRoot().path() + "/usr/local/q7/conf/qvs-deployment-info.properties").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("qvs.version=4.2.1\n", f);
    fclose(f);
    Bytes expected;
    for (char ch : std::string("See card A"))
        expected.push_back((uint8_t)ch);
    expected.push_back(0);
    for (char ch : std::string("4.2.1"))
        expected.push_back((uint8_t)ch);
    expected.push_back(0);
    EXPECT_EQ(exchange(0x7003, {}), (std::vector<Reply>{ACK, {0x7004, expected}}));
    /* an unreadable file gives an empty text, not a refusal */
    unlink((cardRoot().path() + "/usr/local/q7/conf/qvs-deployment-info.properties").c_str());
    expected.resize(11);
    expected.push_back(0);
    EXPECT_EQ(exchange(0x7003, {}), (std::vector<Reply>{ACK, {0x7004, expected}}));
}

} // namespace

namespace {

class StrataReports : public StrataAnswers {
protected:
    std::vector<Reply> reportsOf(const std::function<void()> &cause)
    {
        size_t from = peer.received().size();
        cause();
        std::vector<Reply> replies;
        for (const Packet &p : untilMarkers(from))
            replies.push_back(Reply{p.opcode, p.data});
        return replies;
    }
};

TEST_F(StrataReports, GenlockChangeReportsEveryInputInOrder)
{
    setWord(186, 0x0101);
    probed = {0, 0x10, 1, 0, 5994};
    auto got = reportsOf(
        [] { platformStrataMessageVigiloInputStatusUnsolicited(strataService.category, STATUS_KIND_GENLOCK, nullptr); });
    std::vector<Reply> expected;
    for (uint16_t opcode = 0x1411; opcode <= 0x1491; opcode += 0x10)
        expected.push_back({opcode, Bytes(6, 0)});
    EXPECT_EQ(got, expected);
}

TEST_F(StrataReports, OneInputAndTheMadiInput)
{
    setWord(186, 0x0101);
    strataVideoInputRecord changed{4, 0x10, 0, 0, 0};
    EXPECT_EQ(reportsOf([&] {
                  platformStrataMessageVigiloInputStatusUnsolicited(strataService.category, STATUS_KIND_INPUT, &changed);
              }),
              (std::vector<Reply>{{0x1451, {0xFD, 0, 0, 0, 2, 0xFD}}}));
    probed = {8, 0xFFFF, 1, 0, 5994};
    EXPECT_EQ(reportsOf([] {
                  platformStrataMessageVigiloInputStatusUnsolicited(strataService.category, STATUS_KIND_MADI, nullptr);
              }),
              (std::vector<Reply>{{0x1491, {0xFD, 0, 0, 0, 4, 0xFD}}}));
    EXPECT_EQ(reportsOf([] { platformStrataMessageVigiloInputStatusUnsolicited(strataService.category, 9, nullptr); }),
              std::vector<Reply>{});
}

TEST_F(StrataReports, OutputChangesAreReportedOnlyInFrameTypeTwoWithNqAsiInputs)
{
    strataAnswersResetOutputCopies();
    uint32_t savedFrame = platformRecord.frameType;
    platformRecord.frameType = 2;
    sdiOutputStatusRecord record{1, 1, 5994, 1, 0, 0, 1};
    auto send = [&] {
        platformStrataMessageVigiloOutputStatusUnsolicited(strataService.category, STATUS_KIND_OUTPUT, &record);
    };
    EXPECT_EQ(reportsOf(send), (std::vector<Reply>{{0x1423, {0xFE, 0, 0, 0, 0x20, 0}}}));
    /* nothing changed */
    EXPECT_EQ(reportsOf(send), std::vector<Reply>{});
    /* only the not-HDTV flag changed */
    record.notHdtv = 1;
    EXPECT_EQ(reportsOf(send), std::vector<Reply>{});
    /* a head without a copy is refused, not stored past the copies */
    sdiOutputStatusRecord far{7, 1, 5994, 1, 0, 0, 0};
    EXPECT_EQ(reportsOf([&] {
                  platformStrataMessageVigiloOutputStatusUnsolicited(strataService.category, STATUS_KIND_OUTPUT, &far);
              }),
              std::vector<Reply>{});
    platformRecord.frameType = 1;
    record.testPattern = 0;
    EXPECT_EQ(reportsOf(send), std::vector<Reply>{});
    platformRecord.frameType = 2;
    platformRecord.cardHwType = 1;
    record.enable = 0;
    EXPECT_EQ(reportsOf(send), std::vector<Reply>{});
    platformRecord.cardHwType = 0;
    heads[0] = {0, 1, 5994, 1, 0, 0, 0};
    heads[1] = {1, 0, 5994, 1, 0, 0, 0};
    EXPECT_EQ(reportsOf([] {
                  platformStrataMessageVigiloOutputStatusUnsolicited(strataService.category, STATUS_KIND_GENLOCK, nullptr);
              }),
              (std::vector<Reply>{{0x1413, Bytes(6, 0)}, {0x1423, {0xFF, 0, 0, 0x80, 0, 0xFF}}}));
    platformRecord.frameType = savedFrame;
}

} // namespace

namespace {

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

/* A stand-in "/bin/qvoutil" below the card root that exits with `status`. */
void qvoutilExits(int status)
{
    std::string dir = cardRoot().path() + "/bin";
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/qvoutil";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "#!/bin/sh\nexit %d\n", status);
    fclose(f);
    chmod(path.c_str(), 0755);
}

class StrataFactoryDefault : public StrataAnswers {
protected:
    void TearDown() override
    {
        unlink((cardRoot().path() + "/bin/qvoutil").c_str());
        StrataAnswers::TearDown();
    }
};

/*
 * FACTORY_DEFAULT by its reset flags: which reset commands run, the answer, and
 * whether the card reboots (only after every command asked for succeeded).
 */
TEST_F(StrataFactoryDefault, ResetFlagsChooseTheCommandsTheAnswerAndTheReboot)
{
    const uint8_t ACKED = 0;
    struct Case {
        const char *name;
        int qvoutilStatus;
        Bytes flags;
        uint8_t nackCode; /* ACKED: acknowledged first */
        size_t paramsResets, networkResets, reboots;
    } cases[] = {
        {"card parameters", 0, {0x01}, ACKED, 1, 0, 1},
        {"card parameters, command fails", 3, {0x01}, 10, 1, 0, 0},
        {"network, command fails", 3, {0x80}, 10, 0, 1, 0},
        {"no flag", 0, {0x00}, 6, 0, 0, 0},
        {"only an unsupported flag", 0, {0x02}, 6, 0, 0, 0},
        {"two bytes of flags", 0, {0x01, 0x00}, 6, 0, 0, 0},
        {"legacy form: parameters but not the network", 0, {}, ACKED, 1, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qvoutilExits(c.qvoutilStatus);
        size_t params = countOf(halLog(), "command /bin/qvoutil --reset params");
        size_t network = countOf(halLog(), "command /bin/qvoutil --reset network");
        size_t reboots = countOf(halLog(), "reboot\n");
        std::vector<Reply> got = exchange(0x001C, c.flags);
        if (c.nackCode == ACKED) {
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got[0], ACK);
        } else {
            EXPECT_EQ(got, (std::vector<Reply>{nack(c.nackCode)}));
        }
        EXPECT_EQ(countOf(halLog(), "command /bin/qvoutil --reset params"), params + c.paramsResets);
        EXPECT_EQ(countOf(halLog(), "command /bin/qvoutil --reset network"), network + c.networkResets);
        EXPECT_EQ(countOf(halLog(), "reboot\n"), reboots + c.reboots);
    }
}

} // namespace

namespace {

Bytes macMessage(uint8_t index, const std::string &textPart, size_t size = 19)
{
    Bytes b(size, 0);
    b[0] = index;
    for (size_t i = 0; i < textPart.size() && i + 1 < size; i++)
        b[i + 1] = (uint8_t)textPart[i];
    return b;
}

std::string envValue(const char *name)
{
    char value[64] = "";
    return fwEnvGetEnvCopy(name, value, sizeof value) == 0 ? std::string(value) : std::string("<missing>");
}

TEST_F(StrataAnswers, EthernetMacAddressesAreStoredOnlyInTheirExactForm)
{
    firmwareTest::TestLog &log = firmwareTest::TestLog::instance();
    EXPECT_EQ(exchange(0xF01F, macMessage(1, "00:11:22:33:44:55")), (std::vector<Reply>{ACK}));
    EXPECT_EQ(envValue("eth1addr"), "00:11:22:33:44:55");
    EXPECT_EQ(exchange(0xF01F, macMessage(2, "0a:1B:22:33:44:5f")), (std::vector<Reply>{ACK}));
    EXPECT_EQ(envValue("eth2addr"), "0a:1B:22:33:44:5f");

    struct Case {
        const char *name;
        Bytes message;
        const char *logLine;
    };
    const Case cases[] = {
        {"eighteenBytes", macMessage(1, "00:11:22:33:44:66", 18), "SET_ETH_CONFIG_MAC bad message format."},
        {"noTerminator", macMessage(1, "00:11:22:33:44:66X"), "SET_ETH_CONFIG_MAC bad message format."},
        {"wideField", macMessage(1, "fff:1:22:33:44:55"), "SET_ETH_CONFIG_MAC Unkown MAC Format fff:1:22:33:44:55"},
        {"shortText", macMessage(1, "ff:1:2:3:4:5"), "SET_ETH_CONFIG_MAC Unkown MAC Format ff:1:2:3:4:5"},
        {"notHex", macMessage(1, "00:11:22:33:44:5g"), "SET_ETH_CONFIG_MAC Unkown MAC Format 00:11:22:33:44:5g"},
        {"indexThree", macMessage(3, "00:11:22:33:44:66"), "SET_ETH_CONFIG_MAC bad idx. 3"},
    };
    for (const Case &c : cases) {
        size_t mark = log.mark();
        EXPECT_EQ(exchange(0xF01F, c.message), (std::vector<Reply>{ACK})) << c.name;
        EXPECT_NE(log.since(mark).find(c.logLine), std::string::npos) << c.name;
        EXPECT_EQ(envValue("eth1addr"), "00:11:22:33:44:55") << c.name;
    }
}

} // namespace

namespace {

std::vector<std::pair<uint32_t, Bytes>> written;
int recordWrite(uint32_t offset, const uint8_t *word)
{
    written.push_back({offset, Bytes(word, word + 2)});
    return 0;
}

TEST(StrataControllerStatus, WordAt1184StartsAtEightAndTakesTheLowThreeBitsOfAStatus)
{
    setUpProcess();
    written.clear();
    strataAnswersSetBlockWordWriter(recordWrite);
    platformReportStrataControllerStatus(strataService.category, 0, 1);
    platformReportStrataControllerStatus(strataService.category, 9, 0);
    platformReportStrataControllerStatus(strataService.category, 2, 0);
    platformReportStrataControllerStatus(strataService.category, 0, 1);
    strataAnswersSetBlockWordWriter(nullptr);
    std::vector<std::pair<uint32_t, Bytes>> expected{
        {1184, {0x00, 0x08}}, {1184, {0x00, 0x09}}, {1184, {0x00, 0x0A}}, {1184, {0x00, 0x08}}};
    EXPECT_EQ(written, expected);
}

} // namespace

namespace {

TEST_F(StrataAnswers, NqAsiAvailabilityByCardSlotAndHeadQueries)
{
    struct Case {
        uint32_t slot;
        Bytes availability;
    };
    const Case cases[] = {{0, {0x01, 0xFF, 0x00, 0x03}}, {1, {0x01, 0xFF, 0x00, 0x03}}, {3, {0x01, 0xFF, 0x00, 0x00}}};
    for (const Case &c : cases) {
        platformRecord.rearSlot = c.slot;
        uint8_t out[4] = {};
        platformNqAsiAvailability(strataService.category, 0, out);
        EXPECT_EQ(Bytes(out, out + 4), c.availability) << c.slot;
    }
    platformRecord.rearSlot = 3;
    EXPECT_EQ(exchange(0x0200, {}), (std::vector<Reply>{ACK, {0x0201, {0x01, 0xFF, 0x00, 0x00}}}));
    /* a head without a record: head 0's record with its number and format 0xFFFE */
    auto got = exchange(0x0202, {5});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], (Reply{0x0203, {0x05, 0xFF, 0xFE, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}}));
    /* the debug switch shows the heads on cards C-F */
    const char *argv[] = {"fw_setenv", "debugEnableHeadsOnNqAsi", "1"};
    ASSERT_EQ(fwEnvSetEnv(3, argv), 0);
    uint8_t out[4] = {};
    platformNqAsiAvailability(strataService.category, 0, out);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x01, 0xFF, 0x00, 0x03}));
}

TEST_F(StrataAnswers, AtdmAvailabilityFollowsTheStreamSettings)
{
    Bytes indexZero(38, 0);
    indexZero[1] = 1;
    EXPECT_EQ(exchange(0x0206, {0}), (std::vector<Reply>{ACK, {0x0207, indexZero}}));
    platformSetKvrVideoStreamSetting(strataService.category, 255, 0);
    Bytes nonMdx(38, 0);
    nonMdx[0] = 1;
    nonMdx[1] = 1;
    for (int i = 30; i < 38; i++)
        nonMdx[i] = 0xFF;
    EXPECT_EQ(exchange(0x0206, {1}), (std::vector<Reply>{ACK, {0x0207, nonMdx}}));
    platformSetKvrVideoStreamSetting(strataService.category, 255, 1);
    for (uint32_t i = 0; i <= 8; i++)
        platformSetKvrVideoStreamSetting(strataService.category, i, i == 0 || i == 8 ? 1 : 0);
    Bytes mdx(38, 0);
    mdx[0] = 1;
    mdx[1] = 1;
    mdx[36] = mdx[37] = 0xFF; /* input 0 */
    mdx[20] = mdx[21] = 0xFF; /* input 8 */
    EXPECT_EQ(exchange(0x0206, {1}), (std::vector<Reply>{ACK, {0x0207, mdx}}));
    platformSetKvrVideoStreamSetting(strataService.category, 255, 0);
}

} // namespace
