/*
 * Server mode without publishing lists: every notify sends the whole buffer
 * as one record. In private network namespaces (fixed port 5113).
 */
#include "QvsTcpTestSupport.h"
#include "cardsim/cardsim.h"
#include "../../support/TempDir.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

#include "../main/FirmwareTestSupport.h"

using namespace qvsTcpTest;
using firmwareTest::TestLog;

namespace {

TEST(QvsServerWithoutLists, NotifySendsTheWholeBufferThenTheEndRecord)
{
    SKIP_WITHOUT_PRIVATE_NAMESPACES();
    TestLog::instance();
    /* A card root with no boot environment: the card has no address of its own. */
    static TempDir root;
    setenv("KVR_ROOT", root.path().c_str(), 1);
    ASSERT_EQ(cardsimInstallStandIns(), 0);
    ASSERT_UNDER_CARD_ROOT();
    ASSERT_EQ(initQvsInterface(QVS_MODE_SERVER, "SERVER"), 0);
    uint8_t *base = (uint8_t *)qvsInterfaceGetSharedMemory(nullptr, pcodeCallback);
    ASSERT_NE(base, nullptr);
    EXPECT_TRUE(TestLog::instance().contains("There is no sharedMemPublishingList."));

    for (int i = 0; i < 300 && !TestLog::instance().contains("Waiting for incoming connections..."); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(5113);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_EQ(connect(fd, (struct sockaddr *)&to, sizeof to), 0);
    qvsPeer peer;
    peer.socket = fd;
    EXPECT_EQ(readRaw(peer, 4), (std::vector<uint8_t>{0x00, 0x00, 0x95, 0x88}));

    std::vector<uint8_t> bytes = pattern(9);
    ASSERT_EQ(qvsInterfaceWriteSharedMem(19000, bytes.data(), 64), 64);
    qvsInterfaceNotify();
    std::vector<uint8_t> head = readRaw(peer, 8);
    EXPECT_EQ(head, (std::vector<uint8_t>{0x00, 0x00, 0x95, 0x88, 0, 0, 0, 0}));
    std::vector<uint8_t> all = readRaw(peer, 38280);
    ASSERT_EQ(all.size(), 38280u);
    EXPECT_EQ(memcmp(all.data(), base, 38280), 0);
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + 38000, all.begin() + 38128), bytes);
    EXPECT_EQ(readRaw(peer, 8), std::vector<uint8_t>(8, 0));

    /* Pcodes come back on the same connection. */
    std::vector<uint8_t> pcode = qvsPeerBuildPcode(10, 2, {4, 5});
    ASSERT_EQ(send(fd, pcode.data(), pcode.size(), 0), (ssize_t)pcode.size());
    ASSERT_TRUE(waitForPcodes(1));
    EXPECT_EQ(lastPcode(), pcode);
    close(fd);
}

} // namespace
