#include "cardsim/cardsim.h"

#include "cardsim/cardsimPrivate.h"
#include "hal/hal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* A transfer that is held waits at most this long. */
const auto HOLD_LIMIT = std::chrono::seconds(10);

struct fpgaModel_t {
    std::map<uint32_t, uint16_t> registers;
    std::map<uint32_t, std::deque<uint16_t>> keyholeWords;
    std::deque<cardsimFpgaWrite_t> writes;
    std::deque<std::vector<uint8_t>> frames;
    int held = 0;
    int parked = 0;
    int failures = 0;
};

/* An open node: an FPGA's spidev or a bus with its current slave. */
struct openNode_t {
    int inUse;
    int fpga; /* -1 for a bus */
    std::string bus;
    uint16_t slave;
};

struct {
    std::mutex mutex;
    std::condition_variable changed;
    fpgaModel_t fpgas[CARDSIM_FPGA_COUNT];
    std::vector<openNode_t> nodes;
    std::atomic<size_t> logLimit{1u << 20};
    FILE *fpgaWritesFile = nullptr; /* under mutex */
    FILE *i2cWritesFile = nullptr;
} cardsim;

const struct {
    const char *path;
    const char *milli;
} sensorDefaults[] = {
    {"/sys/class/i2c-adapter/i2c-2/2-0048/temp1_input", "45250"},
    {"/sys/class/i2c-adapter/i2c-2/2-0049/temp1_input", "47000"},
    {"/sys/bus/platform/devices/temp_sensor_hwmon.0/temp1_input", "52500"},
};

/* Identity, version and self-test registers as the FPGAs report them after start-up. */
void resetFpga(int fpga)
{
    fpgaModel_t &model = cardsim.fpgas[fpga];
    model = fpgaModel_t();
    static const uint16_t versions[CARDSIM_FPGA_COUNT][3] = {{18, 1, 14404}, {13, 4, 11536}};
    model.registers[CARDSIM_FPGA_ID_REGISTER] = CARDSIM_FPGA_PROJECT_ID << 4;
    for (int i = 0; i < 3; i++)
        model.registers[CARDSIM_FPGA_VERSION_REGISTER + i] = versions[fpga][i];
    model.registers[fpga == CARDSIM_FSM ? CARDSIM_FSM_BIST_REGISTER : CARDSIM_DPS_BIST_REGISTER] = CARDSIM_BIST_PASSED;
    if (fpga == CARDSIM_DPS)
        model.registers[0x81] = 0x8000; /* the cable-equaliser bridge is ready */
}

uint16_t registerValue(fpgaModel_t &model, uint32_t address)
{
    auto found = model.registers.find(address);
    return found == model.registers.end() ? 0 : found->second;
}

uint16_t keyholeValue(fpgaModel_t &model, uint32_t address)
{
    auto queued = model.keyholeWords.find(address);
    if (queued == model.keyholeWords.end() || queued->second.empty())
        return registerValue(model, address);
    uint16_t word = queued->second.front();
    queued->second.pop_front();
    return word;
}

/* Serves one frame against the register file. Under the mutex. */
int serveFrame(fpgaModel_t &model, const uint8_t *tx, uint8_t *rx, size_t length)
{
    int fpga = (int)(&model - cardsim.fpgas);
    if (length < 4) {
        errno = EINVAL;
        return -1;
    }
    std::vector<uint8_t> out(length, 0);
    uint32_t header = ((uint32_t)tx[0] << 24) | ((uint32_t)tx[1] << 16) | ((uint32_t)tx[2] << 8) | tx[3];
    unsigned kind = header >> 30;
    uint32_t address = header & 0x3FFFFFFF;
    if (kind & 2) {
        if (length < 6) {
            errno = EINVAL;
            return -1;
        }
        size_t count = ((tx[4] << 8) | tx[5]) & 0xFFF;
        cardsimCountRead(fpga, address);
        for (size_t i = 0; i < count && 6 + 2 * i + 1 < length; i++) {
            uint16_t word = 0;
            if (kind == 3)
                word = keyholeValue(model, address);
            else if (!cardsimHdrRead(fpga, address + (uint32_t)i, &word))
                word = registerValue(model, address + (uint32_t)i);
            out[6 + 2 * i] = (uint8_t)(word >> 8);
            out[6 + 2 * i + 1] = (uint8_t)word;
        }
    } else {
        for (size_t i = 0; 4 + 2 * i + 1 < length; i++) {
            uint16_t word = (uint16_t)((tx[4 + 2 * i] << 8) | tx[4 + 2 * i + 1]);
            uint32_t target = kind == 1 ? address : address + (uint32_t)i;
            model.registers[target] = word;
            cardsimRingPush(model.writes, cardsimFpgaWrite_t{target, word, kind == 1});
            if (cardsim.fpgaWritesFile)
                fprintf(cardsim.fpgaWritesFile, "%d 0x%04x 0x%04x\n", (int)(&model - cardsim.fpgas), (unsigned)target,
                        (unsigned)word);
            cardsimHdrWrite(fpga, target, word);
        }
    }
    if (rx)
        memcpy(rx, out.data(), length);
    return 0;
}

int backendOpen(void *, const char *cardPath)
{
    int fpga = -1;
    std::string bus;
    if (strcmp(cardPath, "/dev/spidev1.2") == 0)
        fpga = CARDSIM_FSM;
    else if (strcmp(cardPath, "/dev/spidev2.0") == 0)
        fpga = CARDSIM_DPS;
    else if (cardsimI2cKnownBus(cardPath))
        bus = cardPath;
    else {
        errno = ENOENT;
        return -1;
    }
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    for (size_t i = 0; i <= cardsim.nodes.size(); i++) {
        if (i == cardsim.nodes.size())
            cardsim.nodes.push_back(openNode_t());
        if (!cardsim.nodes[i].inUse) {
            cardsim.nodes[i] = {1, fpga, bus, 0};
            return (int)i;
        }
    }
    return -1;
}

/* Copies the node of a handle; 0, or -1 with EBADF. Under the mutex. */
int nodeOf(int handle, openNode_t *node)
{
    if (handle < 0 || (size_t)handle >= cardsim.nodes.size() || !cardsim.nodes[handle].inUse) {
        errno = EBADF;
        return -1;
    }
    *node = cardsim.nodes[handle];
    return 0;
}

int backendClose(void *, int handle)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    openNode_t node;
    if (nodeOf(handle, &node) != 0)
        return -1;
    cardsim.nodes[handle].inUse = 0;
    return 0;
}

int backendSpiTransfer(void *, int handle, const uint8_t *tx, uint8_t *rx, size_t length)
{
    std::unique_lock<std::mutex> lock(cardsim.mutex);
    openNode_t node;
    if (nodeOf(handle, &node) != 0)
        return -1;
    if (node.fpga < 0) {
        errno = ENOTTY;
        return -1;
    }
    fpgaModel_t &model = cardsim.fpgas[node.fpga];
    if (model.held) {
        model.parked++;
        cardsim.changed.notify_all();
        cardsim.changed.wait_for(lock, HOLD_LIMIT, [&model] { return !model.held; });
        model.parked--;
    }
    cardsimRingPush(model.frames, std::vector<uint8_t>(tx, tx + length));
    if (model.failures > 0) {
        model.failures--;
        errno = EIO;
        return -1;
    }
    return serveFrame(model, tx, rx, length);
}

int backendI2cSetSlave(void *, int handle, uint16_t slave)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    openNode_t node;
    if (nodeOf(handle, &node) != 0)
        return -1;
    if (node.fpga >= 0 || slave > 0x7F) {
        errno = node.fpga >= 0 ? ENOTTY : EINVAL;
        return -1;
    }
    cardsim.nodes[handle].slave = slave;
    return 0;
}

int backendI2cTransfer(void *, int handle, halI2cMessage_t *messages, int count)
{
    openNode_t node;
    {
        std::lock_guard<std::mutex> lock(cardsim.mutex);
        if (nodeOf(handle, &node) != 0)
            return -1;
    }
    if (node.fpga >= 0) {
        errno = ENOTTY;
        return -1;
    }
    return cardsimI2cTransfer(node.bus, messages, count);
}

int backendI2cWrite(void *, int handle, const uint8_t *data, size_t length)
{
    openNode_t node;
    {
        std::lock_guard<std::mutex> lock(cardsim.mutex);
        if (nodeOf(handle, &node) != 0)
            return -1;
    }
    if (node.fpga >= 0 || length > 0xFFFF) {
        errno = node.fpga >= 0 ? ENOTTY : EINVAL;
        return -1;
    }
    halI2cMessage_t message = {node.slave, 0, (uint16_t)length, (uint8_t *)data};
    return cardsimI2cTransfer(node.bus, &message, 1) == 0 ? (int)length : -1;
}

const halDeviceBackend_t cardsimBackend = {
    backendOpen, backendClose, backendSpiTransfer, backendI2cSetSlave, backendI2cTransfer, backendI2cWrite, nullptr,
    nullptr, nullptr,
};

fpgaModel_t *fpgaModel(int fpga)
{
    return fpga >= 0 && fpga < CARDSIM_FPGA_COUNT ? &cardsim.fpgas[fpga] : nullptr;
}

} // namespace

int cardsimStart(void)
{
    cardsimReset();
    if (halUnderCardRoot()) {
        for (const auto &sensor : sensorDefaults)
            cardsimSetSensorText(sensor.path, sensor.milli);
        cardsimPrepareRoot();
        cardsimApplyConfig();
    }
    halSetDeviceBackend(&cardsimBackend);
    return 0;
}

void cardsimStop(void)
{
    cardsimVsyncStop();
    halSetDeviceBackend(nullptr);
    cardsimI2cLogTo(nullptr);
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    for (FILE **file : {&cardsim.fpgaWritesFile, &cardsim.i2cWritesFile}) {
        if (*file)
            fclose(*file);
        *file = nullptr;
    }
}

void cardsimSetLogLimit(size_t entries)
{
    cardsim.logLimit = entries ? entries : 1;
}

size_t cardsimLogLimit(void)
{
    return cardsim.logLimit;
}

int cardsimLogToFiles(const std::string &fpgaWritesPath, const std::string &i2cWritesPath)
{
    FILE *fpgaFile = fopen(fpgaWritesPath.c_str(), "w");
    FILE *i2cFile = fpgaFile ? fopen(i2cWritesPath.c_str(), "w") : nullptr;
    if (!i2cFile) {
        int saved = errno;
        if (fpgaFile)
            fclose(fpgaFile);
        errno = saved;
        return -1;
    }
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    for (FILE *old : {cardsim.fpgaWritesFile, cardsim.i2cWritesFile})
        if (old)
            fclose(old);
    cardsim.fpgaWritesFile = fpgaFile;
    cardsim.i2cWritesFile = i2cFile;
    cardsimI2cLogTo(i2cFile);
    return 0;
}

void cardsimReset(void)
{
    {
        std::lock_guard<std::mutex> lock(cardsim.mutex);
        for (int fpga = 0; fpga < CARDSIM_FPGA_COUNT; fpga++)
            resetFpga(fpga);
        cardsim.changed.notify_all();
    }
    cardsimI2cReset();
    cardsimScalerReset();
    cardsimHdrReset();
    cardsimHealthReset();
    cardsimClearReadCounts();
}

uint16_t cardsimFpgaGet(int fpga, uint32_t address)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    fpgaModel_t *model = fpgaModel(fpga);
    return model ? registerValue(*model, address) : 0;
}

void cardsimFpgaSet(int fpga, uint32_t address, uint16_t value)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    if (fpgaModel_t *model = fpgaModel(fpga))
        model->registers[address] = value;
}

void cardsimFpgaQueueKeyhole(int fpga, uint32_t address, const std::vector<uint16_t> &words)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    if (fpgaModel_t *model = fpgaModel(fpga))
        model->keyholeWords[address].insert(model->keyholeWords[address].end(), words.begin(), words.end());
}

std::vector<cardsimFpgaWrite_t> cardsimFpgaWrites(int fpga)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    fpgaModel_t *model = fpgaModel(fpga);
    return model ? std::vector<cardsimFpgaWrite_t>(model->writes.begin(), model->writes.end())
                 : std::vector<cardsimFpgaWrite_t>();
}

std::vector<std::vector<uint8_t>> cardsimSpiFrames(int fpga)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    fpgaModel_t *model = fpgaModel(fpga);
    return model ? std::vector<std::vector<uint8_t>>(model->frames.begin(), model->frames.end())
                 : std::vector<std::vector<uint8_t>>();
}

void cardsimFpgaHold(int fpga, int hold)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    if (fpgaModel_t *model = fpgaModel(fpga))
        model->held = hold;
    cardsim.changed.notify_all();
}

int cardsimFpgaWaitParked(int fpga, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(cardsim.mutex);
    fpgaModel_t *model = fpgaModel(fpga);
    if (!model)
        return 0;
    return cardsim.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [model] { return model->parked > 0; })
               ? 1
               : 0;
}

void cardsimSpiFail(int fpga, int failures)
{
    std::lock_guard<std::mutex> lock(cardsim.mutex);
    if (fpgaModel_t *model = fpgaModel(fpga))
        model->failures = failures;
}

void cardsimClearLogs(void)
{
    {
        std::lock_guard<std::mutex> lock(cardsim.mutex);
        for (fpgaModel_t &model : cardsim.fpgas) {
            model.writes.clear();
            model.frames.clear();
        }
    }
    cardsimI2cClearLog();
    cardsimClearReadCounts();
}

/* Creates every missing directory above a host path. */
static void makeParents(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

int cardsimSetSensorText(const char *cardPath, const char *text)
{
    if (!halUnderCardRoot() || !cardPath || cardPath[0] != '/' || !text)
        return -1;
    std::string path = halPath(cardPath);
    makeParents(path);
    FILE *file = fopen(path.c_str(), "w");
    if (!file)
        return -1;
    int ok = fprintf(file, "%s\n", text) >= 0;
    return fclose(file) == 0 && ok ? 0 : -1;
}
