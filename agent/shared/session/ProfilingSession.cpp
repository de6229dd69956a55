#include "ProfilingSession.h"

#include <ctime>
#include <unistd.h>

#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "TempFiles.h"

ProfilingSession::ProfilingSession()
    : sessionState(1), jvmti11(0), restrictedJvmti11(0), vmStartWallClock(0), interfaceKind(0),
      allocTreeRecordingType(1), exceptionalCap(5), exceptionalTimeType(4), callTreeCollectionMethod(3), allUrls(0),
      protocolVersion(PROTOCOL_VERSION), snapshotTimeUsec(0), snapshotWallClock(0), vmStartUsec(-1),
      snapshotIdSize(sizeof(void *)), vmIdentifier(0)
{
}

ProfilingSession::~ProfilingSession() = default;

void ProfilingSession::enterMonitor(int) {}

void ProfilingSession::exitMonitor(int, bool) {}

void ProfilingSession::handleCmdGetState(DataReader *reader, DataWriter *writer)
{
    bool wantsTempFile = reader->readByte(0) != 0;
    if (vmStartWallClock == 0)
        vmStartWallClock = static_cast<long long>(time(nullptr));
    writer->writeU4(static_cast<uint32_t>(sessionState));
    writer->writeByte(interfaceKind);
    writer->writeByte(jvmti11);
    writer->writeByte(restrictedJvmti11);
    writer->writeString(vmName.c_str());
    writer->writeString(vmVersion.c_str());
    writer->writeJLong(snapshotTimeUsec);
    writer->writeJLong(snapshotWallClock);
    writer->writeJLong(vmStartWallClock);
    writer->writeU4(static_cast<uint32_t>(getCallTreeCollectionMethod()));
    writer->writeByte(isRecordingArrayAllocs() ? 1 : 0);
    writer->writeJLong(getVmIdentifier());
    std::string tempName;
    if (wantsTempFile) {
        int fd = TempFiles::createFile("ovs", tempName);
        if (fd >= 0)
            close(fd);
        else
            tempName.clear();
    }
    writer->writeString(tempName.c_str());
}

void ProfilingSession::updateVmStartTime(long long usec, bool force)
{
    if (!force && vmStartUsec != -1)
        return;
    vmStartUsec = usec;
    vmStartWallClock = static_cast<long long>(time(nullptr)) + (usec - Counter::getUsec()) / 1000000LL;
}
