#include "SnapshotProfilingSession.h"

#include <unistd.h>

#include "Communicator.h"
#include "Counter.h"
#include "GzFileDataReader.h"
#include "MessageUtil.h"
#include "SnapshotLoadData.h"
#include "SnapshotReader.h"
#include "SocketTransport.h"

namespace {

// Only this machine's front ends reach a loaded snapshot: the front end that
// loads one starts the loader next to it.
const char LOOPBACK[] = "127.0.0.1";

} // namespace

long long SnapshotProfilingSession::NoVm::getUsec()
{
    return Counter::getUsec();
}

SnapshotProfilingSession::SnapshotProfilingSession()
    : classes(this), cpu(this, &vm, CpuProfilingSession::Settings()), heap(this, &classes), sampler(this), readResult(DAMAGED)
{
}

SnapshotProfilingSession::~SnapshotProfilingSession()
{
    // The front end has read the rest of the stream from it by now.
    if (!loadDataFile.empty())
        unlink(loadDataFile.c_str());
}

SnapshotSources SnapshotProfilingSession::sources()
{
    SnapshotSources s;
    s.session = this;
    s.classes = &classes;
    s.cpu = &cpu;
    s.heap = &heap;
    s.sampler = &sampler;
    s.javaPartBody = &javaPart;
    return s;
}

int SnapshotProfilingSession::load(const char *snapshotPath, int sections, const char *heapDumpPath)
{
    reader.reset(new GzFileDataReader(snapshotPath));
    if (!reader->isOpen()) {
        MessageUtil::message("Error opening snapshot.");
        reader.reset();
        readResult = DAMAGED;
        return readResult;
    }
    readResult = SnapshotReader::read(reader.get(), sources(), sections, heapDumpPath);
    if (readResult >= 1)
        probes.parse(javaPart);
    return readResult;
}

void SnapshotProfilingSession::serve(Transport &transport)
{
    CommandOwners owners;
    owners.session = this;
    owners.cpu = &cpu;
    owners.heap = &heap;
    owners.loaded = this;
    Communicator communicator(transport, owners);
    communicator.run();
}

int SnapshotProfilingSession::loadSnapshot(const char *snapshotPath, int port, int sections, const char *, const char *heapDumpPath)
{
    load(snapshotPath, sections, heapDumpPath);
    SocketTransport transport(port, LOOPBACK, nullptr);
    // A port that cannot be listened on has been reported; nothing is served.
    if (transport.listen()) {
        MessageUtil::message("Waiting for a connection from the Orvane GUI ...");
        serve(transport);
    }
    return 1;
}

void SnapshotProfilingSession::writeLoadData(DataWriter *writer)
{
    std::string file = SnapshotLoadData::writeLoadData(writer, readResult, reader.get(), sources());
    if (!file.empty()) {
        if (!loadDataFile.empty())
            unlink(loadDataFile.c_str());
        loadDataFile = file;
    }
    reader.reset();
}

void SnapshotProfilingSession::handleCmdProbeDescriptions(DataWriter *writer)
{
    probes.handleCmdProbeDescriptions(writer, cpu);
}

void SnapshotProfilingSession::handleCmdProbeTupleData(DataReader *reader, DataWriter *writer)
{
    probes.handleCmdProbeTupleData(reader, writer, cpu, classes);
}

void SnapshotProfilingSession::handleCmdProbeTelemetry(DataWriter *writer)
{
    probes.handleCmdProbeTelemetry(writer);
}
