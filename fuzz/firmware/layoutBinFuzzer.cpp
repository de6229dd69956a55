// layout.bin as the layout manager loads it at init and applies it to every
// head at pre-start (a file whose check word matches is taken as it stands).
// First input byte even: the rest is the file as it stands. Odd: the rest is
// a list of 4-byte patches (3-byte offset, value) onto a zero layout whose
// check word is then set right, so that small inputs reach the sub-modules.
#include "LayoutFuzzSupport.h"

#include "utils/utils.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 2 * LAYOUT_FILE_SIZE)
        return 0;
    std::vector<uint8_t> file;
    if (data[0] % 2 == 0) {
        file.assign(data + 1, data + size);
    } else {
        file.assign(LAYOUT_FILE_SIZE, 0);
        for (size_t at = 1; at + 4 <= size; at += 4) {
            uint32_t offset = ((uint32_t)data[at] << 16 | (uint32_t)data[at + 1] << 8 | data[at + 2]) % LAYOUT_DATA_SIZE;
            file[offset] = data[at + 3];
        }
        uint16_t crc = crc16Ccitt(file.data(), LAYOUT_DATA_SIZE);
        file[LAYOUT_DATA_SIZE] = (uint8_t)crc;
        file[LAYOUT_DATA_SIZE + 1] = (uint8_t)(crc >> 8);
    }
    fuzzSupport::writeInput(fuzzSupport::pathOf("/usr/local/q7/firmware/layout.bin"), file.data(), file.size());
    fuzzSupport::layoutStart();
    return 0;
}
