// The restore point: the file read at start-up (init), and the same bytes as a
// transfer from the frame controller (RESTORE_POINT_DATA messages, then
// RESTORE_POINT_COMPLETED), which installs and saves what arrived whole.
// Input: the file; the transfer cuts the same bytes into messages whose
// lengths come from the bytes themselves.
#include "FuzzSupport.h"

#include "persistentDataStorage/persistentDataStorage.h"
#include "serviceManager/serviceManager.h"

#include <vector>

extern serviceDescriptor persistentDataStorageService;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 80 * 1024)
        return 0;
    serviceDescriptor *service = &persistentDataStorageService;
    fuzzSupport::writeInput(fuzzSupport::pathOf("/usr/local/q7/firmware/restorepoint.rsp"), data, size);
    initService(service);
    static std::vector<uint8_t> copy(PDS_RESTORE_POINT_MAX);
    uint32_t length = (uint32_t)copy.size();
    persistentDataGetRestorePoint(service->category, copy.data(), &length);

    size_t at = 0;
    while (at < size) {
        size_t messageLength = data[at] % (PDS_DATA_PAYLOAD_MAX + 2);
        at++;
        if (messageLength > size - at)
            messageLength = size - at;
        if (messageLength == 1 && data[at] == 0xFF) {
            persistentDataStorage_RestorePointCompletedMsg(service->category, 0x15, data + at, 1);
        } else if (messageLength == 2 && data[at] == 0xFE) {
            persistentDataStorage_RestorePointCompletedMsg(service->category, 0x15, data + at, 2);
        } else {
            persistentDataStorage_RestorePointDataMsg(service->category, 0x15, data + at, (uint32_t)messageLength);
        }
        at += messageLength;
    }
    uint8_t total[2] = {0, 0};
    persistentDataStorage_RestorePointCompletedMsg(service->category, 0x15, total, 2);
    persistentDataStorage_GetRestorePointMsg(service->category, 0x15, nullptr, 0);
    return 0;
}
