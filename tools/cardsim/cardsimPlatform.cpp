#include "cardsim/cardsim.h"

#include "cardsim/cardsimPrivate.h"
#include "fwEnv/fwEnv.h"
#include "hal/hal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char *const RAIL_BUS = "/dev/i2c-3";
const uint8_t IO_EXPANDER = 0x74;
const char *const VSYNC_NODE = "/dev/uio1";
const char *const STAND_IN_LOG = "/var/log/standins.log";
const char *const FLASH_DEVICE = "/dev/mtd2";
const int IDENTITY_LINES[] = {67, 68, 69, 70, 71, 72, 73, 74, 81, 82, 83, 106, 107, 108, 109, 116, 148, 171, 172, 174, 175};

struct {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread ticker;
    int running = 0;
    int writer = -1;
    uint32_t count = 0;
} vsync;

void makeParents(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

int writeText(const std::string &hostPath, const std::string &text, mode_t mode)
{
    makeParents(hostPath);
    FILE *file = fopen(hostPath.c_str(), "w");
    if (!file)
        return -1;
    int ok = fputs(text.c_str(), file) >= 0;
    ok = fclose(file) == 0 && ok;
    chmod(hostPath.c_str(), mode);
    return ok ? 0 : -1;
}

bool exists(const std::string &hostPath)
{
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0;
}

std::string gpioPath(int line)
{
    return halPath(("/sys/class/gpio/gpio" + std::to_string(line) + "/value").c_str());
}

/* Opens the writing end of the vsync FIFO, creating the FIFO when missing. Under vsync.mutex. */
int vsyncWriter(void)
{
    if (vsync.writer >= 0)
        return vsync.writer;
    std::string path = halPath(VSYNC_NODE);
    makeParents(path);
    if (!exists(path) && mkfifo(path.c_str(), 0600) != 0)
        return -1;
    /* Read-write so that the open never waits for a reader; writes never block. */
    vsync.writer = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return vsync.writer;
}

int emitLocked(uint32_t count)
{
    int fd = vsyncWriter();
    if (fd < 0)
        return -1;
    /* A full FIFO drops the interrupt, as the hardware drops what nobody reads. */
    return write(fd, &count, sizeof count) == (ssize_t)sizeof count ? 0 : -1;
}

} // namespace

void cardsimSetCard(const cardsimCard_t &card)
{
    cardsimI2cSet(RAIL_BUS, IO_EXPANDER, 0, (uint8_t)((card.rearType & 0x1F) | (card.rearRev & 0x7) << 5));
    cardsimI2cSet(RAIL_BUS, IO_EXPANDER, 1, (uint8_t)((card.mainRev & 0x7) | (card.mainPatch & 0xF) << 3));
    for (int bit = 0; bit < 3; bit++)
        cardsimGpioSet(70 + bit, (card.cardType >> bit) & 1);
    int swapped = card.rearType == 15;
    cardsimGpioSet(67, card.slot & 1);
    cardsimGpioSet(swapped ? 69 : 68, (card.slot >> 1) & 1);
    cardsimGpioSet(swapped ? 68 : 69, (card.slot >> 2) & 1);
    cardsimGpioSet(73, card.frameType & 1);
    cardsimGpioSet(74, (card.frameType >> 1) & 1);
}

int cardsimGpioSet(int line, int value)
{
    if (!halUnderCardRoot())
        return -1;
    return writeText(gpioPath(line), value ? "1" : "0", 0644);
}

int cardsimGpioGet(int line)
{
    FILE *file = fopen(gpioPath(line).c_str(), "r");
    if (!file)
        return -1;
    int c = fgetc(file);
    fclose(file);
    return c == '1' ? 1 : c == '0' ? 0 : -1;
}

int cardsimVsyncEmit(uint32_t count)
{
    if (!halUnderCardRoot())
        return -1;
    std::lock_guard<std::mutex> lock(vsync.mutex);
    return emitLocked(count);
}

int cardsimVsyncStart(int periodMs)
{
    if (!halUnderCardRoot() || periodMs <= 0)
        return -1;
    cardsimVsyncStop();
    std::lock_guard<std::mutex> lock(vsync.mutex);
    if (vsyncWriter() < 0)
        return -1;
    vsync.running = 1;
    vsync.ticker = std::thread([periodMs] {
        std::unique_lock<std::mutex> lock(vsync.mutex);
        while (vsync.running) {
            emitLocked(++vsync.count);
            vsync.changed.wait_for(lock, std::chrono::milliseconds(periodMs), [] { return !vsync.running; });
        }
    });
    return 0;
}

void cardsimVsyncStop(void)
{
    std::thread ticker;
    {
        std::lock_guard<std::mutex> lock(vsync.mutex);
        vsync.running = 0;
        vsync.changed.notify_all();
        ticker.swap(vsync.ticker);
    }
    if (ticker.joinable())
        ticker.join();
    /* The next emit or start writes to the FIFO below the card root of its time. */
    std::lock_guard<std::mutex> lock(vsync.mutex);
    if (vsync.writer >= 0)
        close(vsync.writer);
    vsync.writer = -1;
}

int cardsimFlashWrite(const std::vector<std::string> &entries, unsigned size, int redundant)
{
    if (!halUnderCardRoot() || size < 16)
        return -1;
    std::ostringstream config;
    config << "# device offset size sector\n" << FLASH_DEVICE << " 0x0 0x" << std::hex << size << " 0x" << size << "\n";
    if (redundant)
        config << FLASH_DEVICE << " 0x2000 0x" << std::hex << size << " 0x" << size << "\n";
    if (writeText(halPath("/etc/fw_env.config"), config.str(), 0644) != 0)
        return -1;
    size_t dataSize = size - (redundant ? 5 : 4);
    std::vector<uint8_t> data(dataSize, 0);
    size_t at = 0;
    for (const std::string &entry : entries) {
        if (at + entry.size() + 2 > dataSize)
            return -1;
        memcpy(&data[at], entry.data(), entry.size());
        at += entry.size() + 1;
    }
    uint32_t crc = fwEnvCrc32(data.data(), data.size());
    std::string block;
    for (int i = 0; i < 4; i++)
        block.push_back((char)(crc >> (8 * i)));
    block.append((const char *)data.data(), data.size());
    std::string image(redundant ? 0x2000 + size : size, '\xFF');
    image.replace(0, block.size(), block);
    if (redundant)
        image.replace(0x2000, block.size(), block);
    std::string path = halPath(FLASH_DEVICE);
    makeParents(path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(image.data(), (std::streamsize)image.size());
    return out.good() ? 0 : -1;
}

int cardsimInstallStandIns(void)
{
    if (!halUnderCardRoot())
        return -1;
    std::string log = halPath(STAND_IN_LOG);
    makeParents(log);
    std::string record = "echo \"$(basename \"$0\")${*:+ $*}\" >> '" + log + "'\n";
    std::string vlan = halPath("/etc/cardsim-vlan");
    int rc = 0;
    rc |= writeText(halPath("/bin/qvoutil"),
                    "#!/bin/sh\n" + record + "if [ \"$1\" = \"-V\" ]; then [ -e '" + vlan + "' ]; exit $?; fi\nexit 0\n",
                    0755);
    rc |= writeText(halPath("/sbin/reboot"), "#!/bin/sh\n" + record + "exit 0\n", 0755);
    rc |= writeText(halPath("/usr/bin/tclsh"), "#!/bin/sh\n" + record + "exit 0\n", 0755);
    rc |= writeText(halPath("/etc/init.d/ethprobing.sh"), "#!/bin/sh\n" + record + "exit 0\n", 0755);
    rc |= writeText(halPath("/sbin/update_FPGA.tcl"), "# programs an FPGA from a bit stream\n", 0644);
    return rc == 0 ? 0 : -1;
}

std::vector<std::string> cardsimStandInCalls(void)
{
    std::vector<std::string> lines;
    std::ifstream in(halPath(STAND_IN_LOG));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void cardsimApplyConfig(void)
{
    std::map<std::string, int> values;
    std::ifstream in(halPath("/etc/cardsim.conf"));
    for (std::string line; std::getline(in, line);) {
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos)
            continue;
        values[line.substr(0, equals)] = (int)strtol(line.c_str() + equals + 1, nullptr, 0);
    }
    auto value = [&values](const char *key, int fallback) {
        auto found = values.find(key);
        return found == values.end() ? fallback : found->second;
    };
    cardsimCard_t card;
    card.rearType = value("rearType", card.rearType);
    card.rearRev = value("rearRev", card.rearRev);
    card.mainRev = value("mainRev", card.mainRev);
    card.mainPatch = value("mainPatch", card.mainPatch);
    card.cardType = value("cardType", card.cardType);
    card.slot = value("slot", card.slot);
    card.frameType = value("frameType", card.frameType);
    cardsimSetCard(card);
    cardsimFpgaSet(CARDSIM_FSM, CARDSIM_FPGA_ID_REGISTER,
                   (uint16_t)(value("fsmProjectId", CARDSIM_FPGA_PROJECT_ID) << 4));
    cardsimFpgaSet(CARDSIM_DPS, CARDSIM_FPGA_ID_REGISTER,
                   (uint16_t)(value("dpsProjectId", CARDSIM_FPGA_PROJECT_ID) << 4));
    cardsimSi5344SetAlarms((uint8_t)value("si5344InAlarms", 0), (uint8_t)value("si5344LockAlarms", 0));
    int vsyncMs = value("vsyncMs", 20);
    if (vsyncMs > 0)
        cardsimVsyncStart(vsyncMs);
}

/* Files the card root needs before the firmware starts: each made only when missing. */
void cardsimPrepareRoot(void)
{
    if (!halUnderCardRoot())
        return;
    if (!exists(halPath("/bin/qvoutil")))
        cardsimInstallStandIns();
    for (int line : IDENTITY_LINES)
        if (!exists(gpioPath(line)))
            cardsimGpioSet(line, 0);
    mkdir(halPath("/dev").c_str(), 0755);
    mkdir(halPath("/dev/shm").c_str(), 0700);
    if (!exists(halPath("/etc/fw_env.config")))
        cardsimFlashWrite({"serial#=1000_2000", "ipaddr=10.0.0.2", "netmask=255.0.0.0"}, 0x1000, 0);
    makeParents(halPath("/usr/local/q7/firmware/x"));
}
