// Ethernet-probing driver buffers as the decoder takes them: headers, packet
// counts, frame, RAM and FIFO lengths that lie about the bytes that follow.
// The first input byte picks this card's slot (A-F) so that both the fifo
// path and the slot re-filing run; the rest is the buffer. The shared memory
// is the QVS stub's; no fifo client is connected.
#include "FuzzSupport.h"

#include "ethernetProbing/ethernetProbing.h"
#include "platform/platformPrivate.h"
#include "qvsInterface/qvsInterface.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > ETH_PROBING_BUFFER_SIZE + 1)
        return 0;
    fuzzSupport::cardRoot();
    static bool ready = [] {
        initQvsInterface(QVS_MODE_STUB, nullptr);
        qvsInterfaceGetSharedMemory(nullptr, nullptr);
        return true;
    }();
    (void)ready;
    platformRecord.rearSlot = data[0] % 6;
    /* An exact-size copy, so that any read past the buffer is caught. */
    std::vector<uint8_t> buffer(data + 1, data + size);
    ethernetProbingProcessBuffer(buffer.empty() ? nullptr : buffer.data(), buffer.size());
    return 0;
}
