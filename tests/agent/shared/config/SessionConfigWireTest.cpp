// A configuration as the front end sends it (command 1) and as the agent sends it back (command 45).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"
#include "SessionConfig.h"

namespace {

const std::string XML = "<config><session id=\"7\" timeType=\"2\"/></config>";

std::vector<unsigned char> wire(uint32_t id, const std::string &xml, const std::string &trailer)
{
    std::vector<unsigned char> b = {uint8_t(id >> 24), uint8_t(id >> 16), uint8_t(id >> 8), uint8_t(id),
                                    uint8_t(xml.size() >> 24), uint8_t(xml.size() >> 16), uint8_t(xml.size() >> 8), uint8_t(xml.size())};
    b.insert(b.end(), xml.begin(), xml.end());
    b.push_back(uint8_t(trailer.size() >> 8));
    b.push_back(uint8_t(trailer.size()));
    b.insert(b.end(), trailer.begin(), trailer.end());
    return b;
}

TEST(SessionConfigWire, ReadsTheDocumentAndSendsItBackByteForByte)
{
    std::vector<unsigned char> in = wire(7, XML, "x");
    in.push_back(0x5A); // the next field of the request stays unread
    ByteArrayDataReader reader(in.data(), static_cast<int>(in.size()));
    SessionConfig config;
    SessionConfig::ReadError error = config.read(&reader);
    ASSERT_FALSE(error.failed()) << error.message;
    EXPECT_EQ(config.timeType, 2);
    EXPECT_EQ(reader.readByte(-1), 0x5A) << "the trailing string was consumed";

    config.sessionRead = config.applied = true;
    CharVectorDataWriter writer;
    EXPECT_EQ(config.writeConfigFile(&writer), "");
    writer.flush();
    std::vector<unsigned char> expected = wire(7, XML, "");
    expected.resize(expected.size() - 2);
    EXPECT_EQ(std::vector<unsigned char>(writer.getBytes().begin(), writer.getBytes().end()), expected);
}

TEST(SessionConfigWire, ShortOrWrongDocumentsAreErrors)
{
    struct Case {
        const char *name;
        std::vector<unsigned char> bytes;
        const char *message;
    };
    std::vector<unsigned char> cut = wire(7, XML, "");
    cut.resize(20);
    std::vector<unsigned char> huge = wire(7, "", "");
    huge[4] = 0x7F; // claims almost 2 GiB
    const Case cases[] = {
        {"cut short", cut, "Configuration cut short: 0 of 47 bytes"},
        {"length beyond the stream", huge, "Configuration cut short: 0 of 2130706432 bytes"},
        {"no matching session", wire(8, XML, ""), "Could not find session with id: 8"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ByteArrayDataReader reader(c.bytes.data(), static_cast<int>(c.bytes.size()));
        SessionConfig config;
        EXPECT_EQ(config.read(&reader).message, c.message);
    }
}

} // namespace
