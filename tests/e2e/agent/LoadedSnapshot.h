// The sessions a saved snapshot file loads into, as the front end's own
// reading of a snapshot does: for end-to-end tests that read a file back.
#ifndef KVR_TESTS_E2E_AGENT_LOADEDSNAPSHOT_H
#define KVR_TESTS_E2E_AGENT_LOADEDSNAPSHOT_H

#include <cstdint>
#include <string>
#include <vector>

#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "GzFileDataReader.h"
#include "HeapProfilingSession.h"
#include "ProfilingSession.h"
#include "SnapshotReader.h"
#include "VmInterface.h"

namespace {

// A clock for sessions loaded from a snapshot.
class NoVm : public VmInterface {
public:
    long long getUsec() override { return 0; }
    long long getCurrentThreadCpuUsec() override { return -1; }
    bool getStackTrace(std::vector<StackFrame> *) override { return false; }
    bool getThreadStacks(const std::vector<void *> &, std::vector<std::vector<StackFrame>> *) override { return false; }
};

// The sessions a saved snapshot file loads into.
struct LoadedSnapshot {
    ProfilingSession session;
    ClassProfilingSession classes{&session};
    NoVm vm;
    CpuProfilingSession cpu{&session, &vm, CpuProfilingSession::Settings()};
    HeapProfilingSession heap{&session, &classes};

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

    // The reply of `handler` to `request`, as the front end gets it.
    std::vector<uint8_t> reply(void (HeapProfilingSession::*handler)(DataReader *, DataWriter *), const std::vector<uint8_t> &request)
    {
        return answer(request, [this, handler](DataReader *in, DataWriter *out) { (heap.*handler)(in, out); });
    }
    // Command 41 on the loaded CPU section.
    std::vector<uint8_t> invocationTree(const std::vector<uint8_t> &request)
    {
        return answer(request, [this](DataReader *in, DataWriter *out) { cpu.handleCmdInvocationTreeUpdate(in, out, &classes); });
    }

private:
    template <class Handler> static std::vector<uint8_t> answer(const std::vector<uint8_t> &request, Handler handler)
    {
        ByteArrayDataReader in(request.data(), static_cast<int>(request.size()));
        CharVectorDataWriter out;
        handler(&in, &out);
        out.flush();
        return std::vector<uint8_t>(out.getBytes().begin(), out.getBytes().end());
    }
};

} // namespace

#endif
