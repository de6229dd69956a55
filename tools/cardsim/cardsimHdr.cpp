#include "cardsim/cardsimPrivate.h"

/*
 * The eleven 3D-LUT instances: nine video instances in DPS-FPGA, two head
 * instances in FSM-FPGA. Every word written to an instance's keyhole register
 * is stored at the instance's table pointer, which then moves on; a reset
 * pulse (1 written to the instance's reset register) rewinds the pointer and
 * the read-back port; each read of the port's third register moves the port
 * to the next entry. The other registers keep what is written, as the
 * register file does for any register.
 */

#include <mutex>
#include <set>

namespace {

enum : uint32_t {
    DPS_BLOCK = 0x2000,
    FSM_BLOCK = 0x18080,
    BLOCK_STRIDE = 0x40,
    BLOCK_RESET = 0x24,
    BLOCK_READ_BACK = 0x28,
    DPS_KEYHOLE = 0x1E20,
    FSM_KEYHOLE = 0x18048,
    VIDEO_INSTANCES = 9,
};

struct lutInstance_t {
    std::vector<uint16_t> words;
    size_t writePointer = 0;
    size_t readEntry = 0;
    std::set<size_t> corrupted;
};

struct {
    std::mutex mutex;
    lutInstance_t instances[CARDSIM_HDR_INSTANCES];
} lut;

/* The instance whose register `address` is `base` + index (keyhole) or lies in its block; -1 for none. */
int keyholeInstance(int fpga, uint32_t address)
{
    if (fpga == CARDSIM_DPS && address >= DPS_KEYHOLE && address < DPS_KEYHOLE + VIDEO_INSTANCES)
        return (int)(address - DPS_KEYHOLE);
    if (fpga == CARDSIM_FSM && address >= FSM_KEYHOLE && address < FSM_KEYHOLE + 2)
        return VIDEO_INSTANCES + (int)(address - FSM_KEYHOLE);
    return -1;
}

/* The instance of a block register and the offset within its block; -1 for none. */
int blockInstance(int fpga, uint32_t address, uint32_t *offset)
{
    uint32_t base = fpga == CARDSIM_DPS ? DPS_BLOCK : FSM_BLOCK;
    int count = fpga == CARDSIM_DPS ? (int)VIDEO_INSTANCES : 2;
    if (address < base || address >= base + BLOCK_STRIDE * (uint32_t)count)
        return -1;
    *offset = (address - base) % BLOCK_STRIDE;
    int index = (int)((address - base) / BLOCK_STRIDE);
    return fpga == CARDSIM_DPS ? index : VIDEO_INSTANCES + index;
}

} // namespace

void cardsimHdrWrite(int fpga, uint32_t address, uint16_t value)
{
    std::lock_guard<std::mutex> lock(lut.mutex);
    int instance = keyholeInstance(fpga, address);
    if (instance >= 0) {
        lutInstance_t &l = lut.instances[instance];
        if (l.writePointer >= l.words.size())
            l.words.resize(l.writePointer + 1);
        l.words[l.writePointer++] = value;
        return;
    }
    uint32_t offset = 0;
    instance = blockInstance(fpga, address, &offset);
    if (instance >= 0 && offset == BLOCK_RESET && value == 1) {
        lut.instances[instance].writePointer = 0;
        lut.instances[instance].readEntry = 0;
    }
}

int cardsimHdrRead(int fpga, uint32_t address, uint16_t *value)
{
    std::lock_guard<std::mutex> lock(lut.mutex);
    uint32_t offset = 0;
    int instance = blockInstance(fpga, address, &offset);
    if (instance < 0 || offset < BLOCK_READ_BACK || offset > BLOCK_READ_BACK + 2)
        return 0;
    lutInstance_t &l = lut.instances[instance];
    size_t word = 3 * l.readEntry + (offset - BLOCK_READ_BACK);
    *value = word < l.words.size() ? l.words[word] : 0;
    if (l.corrupted.count(l.readEntry))
        *value ^= 0x0020; /* the lowest code bit of the entry's words */
    if (offset == BLOCK_READ_BACK + 2)
        l.readEntry++;
    return 1;
}

void cardsimHdrReset(void)
{
    std::lock_guard<std::mutex> lock(lut.mutex);
    for (lutInstance_t &l : lut.instances)
        l = lutInstance_t();
}

std::vector<uint16_t> cardsimHdrTable(int instance)
{
    std::lock_guard<std::mutex> lock(lut.mutex);
    if (instance < 0 || instance >= CARDSIM_HDR_INSTANCES)
        return {};
    return lut.instances[instance].words;
}

void cardsimHdrCorruptEntry(int instance, int entry)
{
    std::lock_guard<std::mutex> lock(lut.mutex);
    if (instance >= 0 && instance < CARDSIM_HDR_INSTANCES && entry >= 0)
        lut.instances[instance].corrupted.insert((size_t)entry);
}
