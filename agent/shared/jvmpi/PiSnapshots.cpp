#include "PiSnapshots.h"

#include <functional>
#include <string>

#include "../jvmti/JavaSnapshotPart.h"
#include "CharVectorDataWriter.h"
#include "Communicator.h"
#include "Counter.h"
#include "DataReader.h"
#include "PiHeapdump.h"
#include "PiProfiling.h"
#include "PiProfilingSession.h"
#include "MessageUtil.h"
#include "SnapshotWriter.h"

SnapshotSources PiSnapshots::sources(PiProfilingSession *session)
{
    SnapshotSources s;
    s.session = session;
    s.classes = session->getClassSession();
    s.cpu = session->getCpuSession();
    s.heap = session->getHeapViews();
    s.sampler = session->getLiveSamplerSession();
    s.heapDump = session->getHeapdump() != nullptr ? session->getHeapdump()->getDumpFile() : nullptr;
    return s;
}

void PiSnapshots::handleCmdSaveSnapshot(PiProfilingSession *session, DataReader *reader, DataWriter *writer,
                                        Communicator &connection, JNIEnv *env)
{
    JavaSnapshotPart javaPart(env);
    SnapshotSources s = sources(session);
    s.javaPart = env != nullptr ? &javaPart : nullptr;
    SnapshotWriter::answerSaveCommand(reader, writer, s, session->getOptions().offline, session->getOptions().keepTempSnapshots, connection);
}

namespace {

// Runs `save` under the snapshot monitor while the VM lives: the clean-up at
// the VM's end takes the heap dump and the temp files away, so a save waits
// for it or does not start.
bool whileTheVmLives(const std::function<bool()> &save)
{
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (PiProfiling::dying || vm == nullptr) {
        MessageUtil::message("Could not save snapshot. VM already terminated.");
        return false;
    }
    vm->RawMonitorEnter(PiProfiling::_snapshotMonitor);
    bool saved = false;
    if (PiProfiling::dying)
        MessageUtil::message("Could not save snapshot. VM already terminated.");
    else
        saved = save();
    vm->RawMonitorExit(PiProfiling::_snapshotMonitor);
    return saved;
}

} // namespace

bool PiSnapshots::saveSnapshot(PiProfilingSession *session, const char *path, JNIEnv *env)
{
    if (session->getConfig() == nullptr || session->getCpuSession() == nullptr) {
        MessageUtil::message("Could not save snapshot. Session is not yet configured.");
        return false;
    }
    return whileTheVmLives([&] {
        JavaSnapshotPart javaPart(env);
        SnapshotSources s = sources(session);
        s.javaPart = env != nullptr ? &javaPart : nullptr;
        return SnapshotWriter::saveWithConfiguration(path, s, *session->getConfig(), PiProfiling::startTime,
                                                     session->getOptions().keepTempSnapshots);
    });
}

bool PiSnapshots::saveCobaltSnapshot(PiProfilingSession *session, const char *path, JNIEnv *env, bool savePayloads,
                                     jobjectArray javaArguments)
{
    return whileTheVmLives([&] {
        JavaSnapshotPart javaPart(env, javaArguments);
        SnapshotSources s = sources(session);
        s.javaPart = env != nullptr ? &javaPart : nullptr;
        return SnapshotWriter::saveRecorderSnapshot(path, s, PiProfiling::startTime, session->getOptions().keepTempSnapshots,
                                                    savePayloads);
    });
}
