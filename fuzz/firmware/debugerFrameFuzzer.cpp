// Debug-port frames as the debug port's service reads them from a client:
// headers, check values, commands and their data, short and lying frames.
// The service's own functions are compiled in here (the library's copy is
// then never linked) and serve a socket pair holding the input. First input
// byte: bit 0 set makes the harness write the right check value into each
// header it finds, so that commands get past the check. Device ids are folded
// onto devices that need no running device manager.
#include "FuzzSupport.h"

#include "debuger/debugerService.cpp"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 16384)
        return 0;
    fuzzSupport::cardRoot();
    if (!debugerContext.category)
        debugerContext.category = log4c_category_get(debugerService.categoryName);
    bool fixChecks = data[0] & 1;
    std::vector<uint8_t> stream(data + 1, data + size);
    static const uint8_t devices[] = {0, DEVICE_PCODE, DEVICE_M52_MEM_LOCAL, 200, 255};
    for (size_t at = 0; at + DEBUGER_HEADER_SIZE <= stream.size();) {
        uint8_t *header = stream.data() + at;
        header[2] = devices[header[2] % sizeof devices];
        if (fixChecks) {
            uint16_t crc = crc16Ccitt(header, 8);
            header[8] = (uint8_t)(crc >> 8);
            header[9] = (uint8_t)crc;
        }
        size_t dataLength = header[1] == DEBUGER_CMD_WRITE ? 2u * header[7]
                            : header[1] == DEBUGER_CMD_BURST_WRITE ? header[7] : 0;
        at += DEBUGER_HEADER_SIZE + dataLength;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        abort();
    int bufferSize = 1 << 18;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    if (!stream.empty() && send(pair[0], stream.data(), stream.size(), MSG_NOSIGNAL) != (ssize_t)stream.size())
        abort();
    shutdown(pair[0], SHUT_WR);
    /* The client's side reads every reply, as a client that keeps reading would. */
    uint8_t replies[4096];
    for (int served = 0; served == 0;) {
        served = serveCommand(pair[1]);
        while (recv(pair[0], replies, sizeof replies, MSG_DONTWAIT) > 0) {
        }
    }
    close(pair[0]);
    close(pair[1]);
    return 0;
}
