// A full ethernet-probing buffer (66 packets of 1,500 bytes: 388 RAM bytes and
// 1,078 FIFO bytes each) from the emulated driver through the reader and
// decoder threads into the shared memory and the fifo server's queue, with
// a client per card index draining its socket; and the decoder alone.

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"
#include "ethernetProbing/ethernetProbing.h"
#include "fifoServer/fifoServer.h"
#include "interruptController/interruptController.h"
#include "platform/platformPrivate.h"
#include "probing/probing.h"
#include "qvsInterface/qvsInterface.h"
#include "serviceManager/serviceManager.h"

#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum { PACKETS = 66, RAM = 388, FIFO = 1500 - 34 - RAM, CLIENTS = 2 };

std::vector<uint8_t> fullBuffer(uint8_t vsync)
{
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < PACKETS; i++) {
        cardsimProbePacket_t p;
        p.vsync = vsync;
        p.packetCount = (uint8_t)i;
        p.card = (uint8_t)(i % CLIENTS);
        p.input = (uint8_t)(i % 9);
        p.ram.assign(RAM, (uint8_t)i);
        p.fifo.assign(FIFO, (uint8_t)i);
        p.fifo[0] = p.input;
        packets.push_back(cardsimEthernetPacket(p));
    }
    return cardsimEthernetBuffer(packets);
}

uint32_t freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(fd, (struct sockaddr *)&a, sizeof a);
    getsockname(fd, (struct sockaddr *)&a, &length);
    close(fd);
    return ntohs(a.sin_port);
}

struct Card {
    Card() : sharedMemory(CARD_STATUS_BLOCK_SIZE * CARD_STATUS_BLOCK_COUNT, 0)
    {
        char tmpl[] = "/tmp/kvrbench.XXXXXX";
        root = mkdtemp(tmpl) ? tmpl : "";
        setenv("KVR_ROOT", root.c_str(), 1);
        cardsimStart();
        cardsimVsyncStop();
        cardsimInstallStandIns();
        deviceManagerInit(nullptr);
        platformResetState();
        platformAttach(log4c_category_get("ulm.firmware.ethernetProbingSrvc"), sharedMemory.data());
        initQvsInterface(QVS_MODE_STUB, nullptr);
        qvsInterfaceGetSharedMemory(nullptr, nullptr);
        cardsimEthernetStart("00:1b:44:11:3a:b7");
        for (int i = 0; i < FIFO_SERVER_CARDS; i++)
            fifoServerCardPorts.ports[i] = freePort();
        initService(&fifoServerService);
        fifoServerService.state = SERVICE_STATE_RUN;
        server = std::thread([] { fifoServerService.threadEntry(&fifoServerService); });
        for (int c = 0; c < CLIENTS; c++)
            drains.emplace_back([this, c] { drain(c); });
        for (int c = 0; c < CLIENTS; c++)
            while (!fifoServerHasClient((uint32_t)c))
                usleep(1000);
        ethernetProbingSetStartDelayMs(0);
        initService(&ethernetProbingService);
        ethernetProbingService.state = SERVICE_STATE_RUN;
        reader = std::thread([] { ethernetProbingService.threadEntry(&ethernetProbingService); });
    }
    ~Card()
    {
        stop = true;
        for (serviceDescriptor *s : {&ethernetProbingService, &fifoServerService}) {
            s->state = SERVICE_STATE_TERMINATE;
            s->control(s, SERVICE_STATE_TERMINATE, SERVICE_STATE_RUN);
        }
        reader.join();
        server.join();
        for (std::thread &t : drains)
            t.join();
        cardsimEthernetStop();
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    void drain(int card)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)fifoServerCardPorts.ports[card]);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        while (!stop && connect(fd, (struct sockaddr *)&a, sizeof a) != 0)
            usleep(1000);
        struct timeval t = {0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        std::vector<uint8_t> sink(65536);
        while (!stop)
            if (recv(fd, sink.data(), sink.size(), 0) == 0)
                break;
        close(fd);
    }
    std::string root;
    std::vector<uint8_t> sharedMemory;
    std::thread server, reader;
    std::vector<std::thread> drains;
    std::atomic<bool> stop{false};
};

void fullBufferThroughBothThreads(benchmark::State &state)
{
    static Card card;
    static std::vector<std::vector<uint8_t>> buffers;
    for (int v = (int)buffers.size(); v < 256; v++)
        buffers.push_back(fullBuffer((uint8_t)v));
    uint8_t vsync = 0;
    for (auto _ : state) {
        uint32_t before = interruptControllerVsyncCount();
        cardsimEthernetSend(buffers[vsync++]);
        while (interruptControllerVsyncCount() == before)
            std::this_thread::yield();
        /* the vsync is signalled before decoding: wait for the queue to take the last FIFO part */
        while (fifoServerQueuedBytes() > 0)
            std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(fullBufferThroughBothThreads)->UseRealTime();

void decodeFullBuffer(benchmark::State &state)
{
    static Card card;
    std::vector<uint8_t> buffer = fullBuffer(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(ethernetProbingProcessBuffer(buffer.data(), buffer.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(decodeFullBuffer);

} // namespace
