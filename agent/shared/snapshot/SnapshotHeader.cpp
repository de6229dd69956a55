#include <ctime>

#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "Recorder.h"
#include "SnapshotSections.h"

// The call-tree collection method of a recorder snapshot, and of any other
// snapshot taken while the recorder records.
static const int RECORDER_COLLECTION_METHOD = 5;
static const int RECORDER_RECORDING_METHOD = 4;

void ProfilingSession::writeHeader(DataWriter *writer, bool recorder)
{
    writer->writeU4(SNAPSHOT_MAGIC);
    writer->writeU4(PROTOCOL_VERSION);
    writer->writeByte(interfaceKind);
    writer->writeByte(jvmti11);
    writer->writeByte(restrictedJvmti11);
    writer->writeString(vmName.c_str());
    writer->writeString(vmVersion.c_str());
    writer->writeU4(static_cast<uint32_t>(getAllocTreeRecordingType()));
    writer->writeJLong(Counter::getUsec());
    writer->writeU4(DataWriter::ID_SIZE);
    writer->writeJLong(vmStartUsec);
    writer->writeByte(isAllUrls() ? 1 : 0);
    int method = getCallTreeCollectionMethod();
    if (recorder)
        method = RECORDER_COLLECTION_METHOD;
    else if (Recorder::recordsNow())
        method = RECORDER_RECORDING_METHOD;
    writer->writeU4(static_cast<uint32_t>(method));
    writer->writeU4(static_cast<uint32_t>(getExceptionalCap()));
    writer->writeU4(static_cast<uint32_t>(getExceptionalTimeType()));
    writer->writeByte(isRecordingArrayAllocs() ? 1 : 0);
    writer->writeJLong(static_cast<long long>(time(nullptr)));
    writer->writeJLong(vmStartWallClock);
    writer->writeJLong(getVmIdentifier());
}

int ProfilingSession::readHeader(DataReader *reader)
{
    uint32_t magic = reader->readU4(0);
    if (magic != SNAPSHOT_MAGIC) {
        MessageUtil::message("No Orvane snapshot %d", static_cast<int>(magic));
        return -1003;
    }
    int version = static_cast<int>(reader->readU4(0));
    if (reader->getError()) {
        MessageUtil::message("snapshot ends in its header");
        return -1003;
    }
    if (version <= 10)
        return 0;
    if (version > PROTOCOL_VERSION)
        return -1002;
    protocolVersion = version;
    interfaceKind = static_cast<unsigned char>(reader->readByte(0));
    if (version >= 14) {
        jvmti11 = static_cast<unsigned char>(reader->readByte(0));
        restrictedJvmti11 = version >= 31 ? static_cast<unsigned char>(reader->readByte(0)) : jvmti11;
        char *name = reader->readString(nullptr);
        char *ver = reader->readString(nullptr);
        vmName = name != nullptr ? name : "";
        vmVersion = ver != nullptr ? ver : "";
        delete[] name;
        delete[] ver;
    }
    allocTreeRecordingType = static_cast<int>(reader->readU4(0));
    snapshotTimeUsec = reader->readJLong(0);
    int idSize = static_cast<int>(reader->readU4(0));
    vmStartUsec = reader->readJLong(0);
    allUrls = static_cast<unsigned char>(reader->readByte(0));
    callTreeCollectionMethod = static_cast<int>(reader->readU4(0));
    if (version >= 23) {
        exceptionalCap = static_cast<int>(reader->readU4(0));
        exceptionalTimeType = static_cast<int>(reader->readU4(0));
    }
    snapshotArrayAllocs = version >= 25 ? static_cast<unsigned char>(reader->readByte(0)) : 0;
    snapshotWallClock = 0;
    vmStartWallClock = 0;
    if (version >= 26) {
        snapshotWallClock = reader->readJLong(0);
        vmStartWallClock = reader->readJLong(0);
    }
    if (version >= 36)
        vmIdentifier = reader->readJLong(0);
    if (reader->getError()) {
        MessageUtil::message("snapshot ends in its header");
        return -1003;
    }
    // Every ID of the stream is read with this width: refuse what no agent writes.
    if (idSize != 4 && idSize != 8) {
        MessageUtil::message("snapshot ID size %d not supported", idSize);
        return -1003;
    }
    snapshotIdSize = idSize;
    reader->enableIDUpdate(true, idSize);
    return version;
}
