// Frame-controller packets as the link's receiver takes them from the line:
// framing, checksum, the card id, routing, multi-packet reassembly and the
// execution of complete messages. The receiver's own functions are compiled
// in here (the library's copy of the link is then never linked) and run on
// the fuzzer's thread over a pipe holding the input; replies go to /dev/null.
#include "FuzzSupport.h"

#include "strata/strataLink.cpp"

#include <fcntl.h>

static void strataFuzzSetUp()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    fuzzSupport::cardRoot();
    strataTiming.flushSleepMs = 0;
    strataTiming.overrunPauseMs = 0;
    strataTiming.pollMs = 1;
    strataTiming.rebootPauseMs = 0;
    strataTiming.upgradePollMs = 1;
    strataLinkConfiguration.monitorEnable = 0;
    strataService.category = log4c_category_get(strataService.categoryName);
    strataLink.category = strataService.category;
    strataLink.config = &strataLinkConfiguration;
    /* Socket behaviour: a peer that stops sending ends the stream at once, no serial pauses. */
    strataLink.socket = 1;
    strataLink.portFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 32768)
        return 0;
    strataFuzzSetUp();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        abort();
    fcntl(pipeFds[1], F_SETPIPE_SZ, 65536);
    if (size && write(pipeFds[1], data, size) != (ssize_t)size)
        abort();
    close(pipeFds[1]);

    strataLink.cardId = 0;
    strataLink.commState = 0;
    strataReassembly_t reassembly = {nullptr, 0, 0xFFFF, 0};
    for (;;) {
        uint8_t packet[STRATA_PACKET_MAX];
        uint32_t packetSize = 0;
        int rc = strataReadPacket(pipeFds[0], packet, &packetSize);
        if (rc == RX_PACKET) {
            if (strataHandlePacket(&reassembly, packet, packetSize) != 0)
                break;
            continue;
        }
        if (rc != RX_DROP && rc != RX_DROP_START)
            break;
    }
    strataReassemblyRelease(&reassembly);
    close(pipeFds[0]);
    strataJoinUpgradeThread();
    flushTxQueue();
    return 0;
}
