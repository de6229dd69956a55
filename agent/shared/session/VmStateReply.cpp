#include "VmStateReply.h"

#include <atomic>
#include <ctime>

#include "ClassProfilingSession.h"
#include "Counter.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "SessionConfig.h"

bool VmStateReply::write(DataWriter *writer, bool dyingVmWaits, const Switches &on, ClassProfilingSession &classes,
                         const SessionConfig *config, long long *wallClock, const std::function<void(DataWriter *)> &writeAutoTuned)
{
    writer->writeU4(dyingVmWaits ? 2 : 1);
    // Recordings the agents do not make yet (heap dumps, the CPU change
    // flags of the views) answer "off" and "nothing new".
    const bool state[] = {
        on.cpuRecording,
        on.allocRecording,
        on.monitorProfiling,
        on.methodStatistics,
        on.triggers,
        on.newCallTracerData,
        on.newMethodStatistics,
        false, // new thread dumps
        false, // new heap dump
        false, // new CPU data
        false, // CPU data reset
        false, // new allocation data
        false, // new monitor data
    };
    for (bool set : state)
        writer->writeByte(set ? 1 : 0);

    writer->writeU4(0);
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
