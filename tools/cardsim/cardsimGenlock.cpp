#include "cardsim/cardsimPrivate.h"

/* The genlock side of the card: the Si5344's alarms and write log, the FSM-FPGA's URS and ExtSync words. */

namespace {
const char *const BUS_GENLOCK = "/dev/i2c-4";
enum { SI5344_PAGE_REGISTER = 0x01, SI5344_IN_ALARMS = 0x000D, SI5344_LOCK_ALARMS = 0x000E };
} // namespace

void cardsimSi5344SetAlarms(uint8_t inputAlarms, uint8_t lockAlarms)
{
    cardsimI2cSet(BUS_GENLOCK, CARDSIM_SI5344_SLAVE, SI5344_IN_ALARMS, inputAlarms);
    cardsimI2cSet(BUS_GENLOCK, CARDSIM_SI5344_SLAVE, SI5344_LOCK_ALARMS, lockAlarms);
}

std::vector<cardsimSi5344Write_t> cardsimSi5344Writes(void)
{
    std::vector<cardsimSi5344Write_t> writes;
    std::vector<cardsimI2cMessage_t> log = cardsimI2cLog();
    int page = -1;
    for (const cardsimI2cMessage_t &message : log) {
        if (message.bus != BUS_GENLOCK || message.slave != CARDSIM_SI5344_SLAVE || message.read)
            continue;
        const std::vector<uint8_t> &b = message.bytes;
        if (b.size() == 2 && b[0] == SI5344_PAGE_REGISTER && page < 0) {
            page = b[1];
        } else if (b.size() == 2 && page >= 0) {
            writes.push_back({(uint16_t)(page << 8 | b[0]), b[1]});
            page = -1;
        } else if (b.size() == 1 && page >= 0) {
            page = -1; /* a register pointer of a read */
        } else {
            writes.push_back({0xFFFF, b.empty() ? (uint8_t)0 : b[0]});
            page = -1;
        }
    }
    return writes;
}

void cardsimGenlockSetUrs(uint16_t word)
{
    cardsimFpgaSet(CARDSIM_FSM, CARDSIM_FSM_URS_STATUS, word);
}

void cardsimGenlockSetExtSync(uint16_t word)
{
    cardsimFpgaSet(CARDSIM_FSM, CARDSIM_FSM_EXTSYNC_STATUS, word);
}
