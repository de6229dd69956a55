#ifndef AGENT_VMSTATEREPLY_H
#define AGENT_VMSTATEREPLY_H

#include <functional>

class ClassProfilingSession;
class DataWriter;
class SessionConfig;

// Command 59, the front end's periodic poll of the VM state, as both agents
// answer it; the VM edge says what it records.
class VmStateReply {
public:
    // The recording switches and change flags of the reply.
    struct Switches {
        bool cpuRecording = false;
        bool allocRecording = false;
        bool monitorProfiling = false;
        bool methodStatistics = false;
        bool triggers = false;
        bool newCallTracerData = false;
        bool newMethodStatistics = false;
        bool newThreadDumps = false;
        bool newHeapDump = false;
        bool newCpuData = false;
        bool cpuDataReset = false;
        bool newAllocData = false;
        bool newMonitorData = false;
    };

    // Writes U4 2 while the dying VM waits for the front end (else 1), the 13
    // switch and change bytes, the probes to record as the front end set them
    // (`writeProbes`: U4 length and bytes, U4 0 for none), the methods
    // auto-tuning took the hooks from
    // (`writeAutoTuned`: byte 1 and ID each, byte 0), the time now and the VM
    // start's wall-clock second (JLong each, `*wallClock` set on first use),
    // then the method and class descriptions of `classes` not sent yet.
    // True when the dying VM is to be let go: it waits and `config` does not
    // keep it alive (a kept VM says so once).
    static bool write(DataWriter *writer, bool dyingVmWaits, const Switches &on, ClassProfilingSession &classes,
                      const SessionConfig *config, long long *wallClock, const std::function<void(DataWriter *)> &writeProbes,
                      const std::function<void(DataWriter *)> &writeAutoTuned);
};

#endif
