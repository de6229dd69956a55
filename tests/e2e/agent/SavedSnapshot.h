// A snapshot file the agent saved, loaded with the agent's own reader into
// sessions of the test's own.
#ifndef TESTS_E2E_AGENT_SAVEDSNAPSHOT_H
#define TESTS_E2E_AGENT_SAVEDSNAPSHOT_H

#include <string>
#include <vector>

#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "GzFileDataReader.h"
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"
#include "SnapshotReader.h"
#include "VmInterface.h"

// A clock for sessions loaded from a snapshot.
class NoVm : public VmInterface {
public:
    long long getUsec() override { return 0; }
    long long getCurrentThreadCpuUsec() override { return -1; }
    bool getStackTrace(std::vector<StackFrame> *) override { return false; }
    bool getThreadStacks(const std::vector<void *> &, std::vector<std::vector<StackFrame>> *) override { return false; }
};

// The sessions a saved snapshot file loads into.
struct SavedSnapshot {
    ProfilingSession session;
    ClassProfilingSession classes{&session};
    NoVm vm;
    CpuProfilingSession cpu{&session, &vm, CpuProfilingSession::Settings()};
    HeapProfilingSession heap{&session, &classes};

    // The reader's result (the version, or a negative error).
    int load(const std::string &path)
    {
        SnapshotSources into;
        into.session = &session;
        into.classes = &classes;
        into.cpu = &cpu;
        into.heap = &heap;
        GzFileDataReader reader(path.c_str());
        return SnapshotReader::read(&reader, into, READ_CPU | READ_HEAP | READ_TELEMETRY, nullptr);
    }
};

#endif
