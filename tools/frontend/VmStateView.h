#ifndef KVR_TOOLS_FRONTEND_VMSTATEVIEW_H
#define KVR_TOOLS_FRONTEND_VMSTATEVIEW_H

#include <cstdint>
#include <vector>

class Registry;

// The reply of command 59, the front end's periodic poll of the VM.
struct VmStateReply {
    // 1 while the program runs, 2 once the VM's end waits for this front end.
    uint32_t status = 0;
    // CPU, allocation, monitor and method-statistics recording, the triggers'
    // switch, then the change flags: call tracer, method statistics, thread
    // dumps, heap dump, CPU data, CPU data reset, allocation data, monitor data.
    uint8_t switches[13] = {};
    std::vector<uint8_t> probeState;       // the probes' recording settings
    std::vector<uint64_t> autoTunedMethods; // methods whose hooks auto-tuning took
    int64_t time = 0;                       // the agent's clock, microseconds
    int64_t vmStartWallClock = 0;           // seconds since 1970
};

class VmStateView {
public:
    static constexpr uint32_t VM_RUNS = 1;
    static constexpr uint32_t VM_WAITS_AT_ITS_END = 2;

    // Reads the reply; the method and class descriptions it carries and the
    // methods auto-tuning took the hooks from go to `registry`, since the
    // agent sends each only once. False on a malformed body.
    static bool readVmStateReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, VmStateReply *out);
};

#endif
