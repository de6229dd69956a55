#include "VmStateView.h"

#include "Registry.h"
#include "WireReader.h"

bool VmStateView::readVmStateReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, VmStateReply *out)
{
    WireReader r(body);
    out->status = r.readU4();
    for (uint8_t &b : out->switches)
        b = r.readByte();
    uint32_t probeBytes = r.readU4();
    if (r.error() || probeBytes > r.remaining())
        return false;
    out->probeState = r.readBytes(probeBytes);
    out->autoTunedMethods.clear();
    while (!r.error() && r.readByte() == 1)
        out->autoTunedMethods.push_back(r.readID(idWidth));
    if (r.error())
        return false;
    for (uint64_t method : out->autoTunedMethods)
        registry->markHooksRemoved(method);
    out->time = r.readJLong();
    out->vmStartWallClock = r.readJLong();
    if (r.error())
        return false;
    return registry->readMethods(r, idWidth) && registry->readClasses(r, idWidth) && !r.error() && r.remaining() == 0;
}
