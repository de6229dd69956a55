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
#include "HeapProfilingSession.h"
#include "SnapshotProfilingSession.h"

namespace {

// The sessions a saved snapshot file loads into.
struct LoadedSnapshot {
    SnapshotProfilingSession session;
    ClassProfilingSession &classes = *session.getClassProfilingSession();
    CpuProfilingSession &cpu = session.getCpuSession();
    HeapProfilingSession &heap = session.getHeapSession();

    int load(const std::string &path) { return session.load(path.c_str(), READ_CPU | READ_HEAP | READ_TELEMETRY, nullptr); }

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
