#include "VmStateReply.h"

#include <atomic>
#include <ctime>

#include "ClassProfilingSession.h"
#include "Counter.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "SessionConfig.h"

bool VmStateReply::write(DataWriter *writer, bool dyingVmWaits, const Switches &on, ClassProfilingSession &classes,
                         const SessionConfig *config, long long *wallClock, const std::function<void(DataWriter *)> &writeProbes,
                         const std::function<void(DataWriter *)> &writeAutoTuned)
{
    writer->writeU4(dyingVmWaits ? 2 : 1);
    // The switches, then the change flags (each cleared by the one that read it).
    const bool state[] = {
        on.cpuRecording,
        on.allocRecording,
        on.monitorProfiling,
        on.methodStatistics,
        on.triggers,
        on.newCallTracerData,
        on.newMethodStatistics,
        on.newThreadDumps,
        on.newHeapDump,
        on.newCpuData,
        on.cpuDataReset,
        on.newAllocData,
        on.newMonitorData,
    };
    for (bool set : state)
        writer->writeByte(set ? 1 : 0);

    writeProbes(writer);
    writeAutoTuned(writer);

    writer->writeJLong(Counter::getUsec());
    if (*wallClock == 0)
        *wallClock = static_cast<long long>(time(nullptr));
    writer->writeJLong(*wallClock);
    classes.writeMethodDescriptions(writer, true);
    classes.writeClassDescriptions(writer, true);

    if (!dyingVmWaits)
        return false;
    if (config == nullptr || !config->vmCannotExit)
        return true;
    static std::atomic<bool> keptAlive(false);
    if (!keptAlive.exchange(true))
        MessageUtil::message("Keeping VM alive until frontend disconnects.");
    return false;
}
