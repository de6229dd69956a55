// The CPU section of snapshots: written from the live session, read back
// into a session of a loaded snapshot.
#include <climits>

#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "InternalMonitor.h"
#include "LiveMonitorManager.h"
#include "LiveThreadManager.h"
#include "MonitorEntry.h"
#include "ProfilingSession.h"
#include "Recorder.h"
#include "VmInterface.h"

namespace {

// Recorder mode writes this collection method into the section.
const int RECORDER_RECORDING_METHOD = 4;

uint32_t saturatedU4(long long value)
{
    if (value < 0)
        return 0;
    return value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

// Probe metadata of the Java side: U4 size and the bytes, kept in `bytes`.
void readProbeDescription(DataReader *reader, std::vector<unsigned char> *bytes)
{
    uint32_t size = reader->readU4(0);
    bytes->clear();
    char chunk[4096];
    while (size > 0 && !reader->getError()) {
        int n = static_cast<int>(size < sizeof chunk ? size : sizeof chunk);
        if (reader->readFully(chunk, n) != n) {
            bytes->clear();
            return;
        }
        bytes->insert(bytes->end(), chunk, chunk + n);
        size -= static_cast<uint32_t>(n);
    }
}

} // namespace

void CpuProfilingSession::writeWithoutMonitors(DataWriter *writer, const std::vector<unsigned char> &probeMetaData)
{
    writer->writeU4(static_cast<uint32_t>(probeMetaData.size()));
    if (!probeMetaData.empty())
        writer->writeBuffered(probeMetaData.data(), static_cast<int>(probeMetaData.size()));
}

void CpuProfilingSession::write(DataWriter *writer, bool recorder)
{
    // Recorder mode: a recorder snapshot, or any snapshot while the recorder records.
    bool recorderMode = recorder || Recorder::recordsNow();
    writer->writeByte(!everRecorded && !recorderMode ? 1 : 0);
    writer->writeU4(static_cast<uint32_t>(recorderMode ? RECORDER_RECORDING_METHOD : session->getCallTreeCollectionMethod()));
    long long now = vm != nullptr ? vm->getUsec() : 0;
    long long vmStart = session->getVmStartTime();
    InstancePool<CallStackTree> copies;
    for (LiveThreadManager *t : threadManagers) {
        if (t->getThreadDesc() == nullptr)
            continue;
        bool stored = t->isSwappedOut();
        retrieveDeadThread(t);
        writer->writeByte(1);
        t->write(writer, &copies, vmStart, now);
        (void)stored;
    }
    writer->writeByte(0);
    storeDeadThreads();
    writer->writeU4(static_cast<uint32_t>(finishedEntries.size()));
    for (const MonitorEntry *e : finishedEntries)
        e->write(writer, false);
    writer->writeU4(static_cast<uint32_t>(currentEntries.size()));
    for (const MonitorEntry &e : currentEntries)
        e.write(writer, false);
    writer->writeU4(0); // no third list is kept
    for (auto *monitors : {&javaMonitors, &rawMonitors}) {
        for (const auto &entry : *monitors) {
            writer->writeByte(1);
            entry.second->write(writer);
        }
        writer->writeByte(0);
    }
    if (traces == nullptr) {
        writer->writeU4(0);
    } else {
        writer->writeU4(static_cast<uint32_t>(traces->size()));
        for (const Trace &trace : *traces) {
            writer->writeID(trace.thread);
            writer->writeID(trace.method);
            writer->writeJLong(trace.time);
        }
    }
    writer->writeU4(saturatedU4(blockThreshold));
    writer->writeU4(saturatedU4(waitThreshold));
}

bool CpuProfilingSession::read(DataReader *reader, int version)
{
    if (version >= 36)
        readProbeDescription(reader, &loadedProbeMetaData);
    everRecorded = version >= 3 ? reader->readByte(0) == 0 : true;
    if (version >= 9)
        reader->readU4(1);
    uint32_t count = version >= 33 ? UINT32_MAX : reader->readU4(0);
    for (uint32_t i = 0; i < count && !reader->getError(); i++) {
        if (version >= 33 && reader->readByte(0) != 1)
            break;
        LiveThreadManager *t = createThreadManager();
        if (!t->read(reader, version))
            return false;
        t->setIsDead(t->getEndTime());
    }
    for (int list = 0; list < (version >= 23 ? 3 : 2); list++) {
        uint32_t n = reader->readU4(0);
        for (uint32_t i = 0; i < n && !reader->getError(); i++) {
            MonitorEntry *entry = new MonitorEntry();
            entry->read(reader, version);
            if (list == 0)
                finishedEntries.push_back(entry);
            else if (list == 1)
                currentEntries.push_back(*entry);
            if (list != 0)
                delete entry;
        }
    }
    for (auto *monitors : {&javaMonitors, &rawMonitors}) {
        while (reader->readByte(0) == 1) {
            MonitorTimeValues values;
            values.read(reader, version);
            reader->readU4(0); // display id: this session numbers its own
            ClassData *classData = nullptr;
            reader->readUpdatableID(reinterpret_cast<void **>(&classData));
            long long id = version >= 22 ? reader->readJLong(0) : static_cast<long long>(reader->readVarID());
            bool raw = reader->readByte(0) != 0;
            LiveMonitorManager *manager = new LiveMonitorManager(raw, reinterpret_cast<void *>(static_cast<intptr_t>(id)), this,
                                                                 raw ? nullptr : classData);
            *manager->getMonitorTimeValues() = values;
            (*monitors)[id] = manager;
        }
    }
    if (version >= 13 && version <= 29) {
        uint32_t n = reader->readU4(0);
        for (uint32_t i = 0; i < n && !reader->getError(); i++) {
            reader->readU4(0);
            delete[] reader->readString(nullptr);
        }
    }
    if (version >= 15) {
        uint32_t n = reader->readU4(0);
        traces.reset(new std::vector<Trace>());
        for (uint32_t i = 0; i < n && !reader->getError(); i++) {
            Trace trace;
            trace.thread = static_cast<ThreadManager *>(reader->readAndUpdateID());
            trace.method = static_cast<MethodDesc *>(reader->readAndUpdateID());
            trace.time = reader->readJLong(0);
            traces->push_back(trace);
        }
    }
    if (version >= 23) {
        blockThreshold = reader->readU4(0);
        waitThreshold = reader->readU4(0);
    }
    if (version >= 30 && version <= 35)
        readProbeDescription(reader, &loadedProbeMetaData);
    return !reader->getError();
}
