#include "cardsim/cardsimPrivate.h"

#include <map>
#include <mutex>
#include <utility>

/* Counts of the FPGA read bursts by first register, for the probing schedule's checks. */

namespace {

struct {
    std::mutex mutex;
    std::map<std::pair<int, uint32_t>, uint32_t> reads;
} probingReads;

} // namespace

void cardsimCountRead(int fpga, uint32_t address)
{
    std::lock_guard<std::mutex> lock(probingReads.mutex);
    probingReads.reads[{fpga, address}]++;
}

uint32_t cardsimFpgaReadCount(int fpga, uint32_t address)
{
    std::lock_guard<std::mutex> lock(probingReads.mutex);
    auto found = probingReads.reads.find({fpga, address});
    return found == probingReads.reads.end() ? 0 : found->second;
}

void cardsimClearReadCounts(void)
{
    std::lock_guard<std::mutex> lock(probingReads.mutex);
    probingReads.reads.clear();
}
