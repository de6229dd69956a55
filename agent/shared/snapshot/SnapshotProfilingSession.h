#ifndef AGENT_SNAPSHOTPROFILINGSESSION_H
#define AGENT_SNAPSHOTPROFILINGSESSION_H

#include <memory>
#include <string>

#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FrontendCommands.h"
#include "HeapProfilingSession.h"
#include "LoadedProbes.h"
#include "ProfilingSession.h"
#include "SamplerSession.h"
#include "SnapshotSections.h"
#include "VmInterface.h"

class GzFileDataReader;
class Transport;

// A session read from a snapshot file and served to a front end as if it
// were a live agent: plain class, CPU, heap and telemetry sessions that the
// reader fills, and command 33, which tells the front end how the read went.
class SnapshotProfilingSession : public ProfilingSession, public SnapshotLoadReply {
public:
    // The result a snapshot that cannot be opened or read gives.
    static const int DAMAGED = -1003;

    SnapshotProfilingSession();
    ~SnapshotProfilingSession() override;

    // Reads the snapshot at `snapshotPath` (`sections`: SnapshotSectionBits,
    // the heap dump copied into `heapDumpPath`, which may be null), then
    // serves one front end on `port` of the loopback address until it
    // leaves. Returns 1; the read's result reaches the front end through
    // command 33. The configuration path is not used.
    int loadSnapshot(const char *snapshotPath, int port, int sections, const char *configPath, const char *heapDumpPath);
    // The read alone: the version, or the reader's result below 1 (-1003
    // when the file cannot be opened, logged). Kept for command 33.
    int load(const char *snapshotPath, int sections, const char *heapDumpPath);
    // Serves one connection of `transport` with the loaded data.
    void serve(Transport &transport);

    // Command 33. The reader is deleted after it.
    void writeLoadData(DataWriter *writer) override;
    void handleCmdProbeDescriptions(DataWriter *writer) override;
    void handleCmdProbeTupleData(DataReader *reader, DataWriter *writer) override;
    void handleCmdProbeTelemetry(DataWriter *writer) override;

    ClassProfilingSession *getClassProfilingSession() override { return &classes; }
    SamplerSession *getSamplerSession() override { return &sampler; }
    CpuProfilingSession &getCpuSession() { return cpu; }
    HeapProfilingSession &getHeapSession() { return heap; }
    int getReadResult() const { return readResult; }

private:
    // The engines ask a VM for nothing when they serve stored data.
    class NoVm : public VmInterface {
    public:
        long long getUsec() override;
        long long getCurrentThreadCpuUsec() override { return -1; }
        bool getStackTrace(std::vector<StackFrame> *) override { return false; }
        bool getThreadStacks(const std::vector<void *> &, std::vector<std::vector<StackFrame>> *) override { return false; }
    };

    SnapshotSources sources();

    NoVm vm;
    ClassProfilingSession classes;
    CpuProfilingSession cpu;
    HeapProfilingSession heap;
    SamplerSession sampler;
    std::unique_ptr<GzFileDataReader> reader;
    // The Java part's body as read, and the probe data in it.
    std::vector<unsigned char> javaPart;
    LoadedProbes probes;
    // The rest of the stream that command 33 handed the front end ("jfd").
    std::string loadDataFile;
    int readResult;
};

#endif
