#include "LiveSnapshots.h"

#include <string>
#include <vector>

#include "CharVectorDataWriter.h"
#include "Communicator.h"
#include "Counter.h"
#include "DataReader.h"
#include "JavaNatives.h"
#include "JavaSnapshotPart.h"
#include "LiveHeapdump.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "LiveSamplerSession.h"
#include "NoSessionReport.h"
#include "SnapshotWriter.h"

SnapshotSources LiveSnapshots::sources(LiveProfilingSession *session)
{
    SnapshotSources s;
    s.session = session;
    s.classes = &session->getClassSession();
    s.cpu = LiveCpuProfilingHelper::getSession();
    s.heap = LiveHeapProfilingHelper::getSession();
    s.heapDump = LiveHeapdump::getDumpFile();
    s.sampler = LiveCpuProfilingHelper::getSampler();
    return s;
}

void LiveSnapshots::handleCmdSaveSnapshot(LiveProfilingSession *session, DataReader *reader, DataWriter *writer,
                                          Communicator &connection, JNIEnv *env)
{
    JavaSnapshotPart javaPart(env);
    SnapshotSources s = sources(session);
    s.javaPart = env != nullptr ? &javaPart : nullptr;
    SnapshotWriter::answerSaveCommand(reader, writer, s, session->getEdge().isOffline(), session->getOptions().keepTempSnapshots, connection);
}

bool LiveSnapshots::saveSnapshot(LiveProfilingSession *session, const char *path, JNIEnv *env)
{
    LiveProfiling &edge = session->getEdge();
    if (session->getConfig() == nullptr || LiveCpuProfilingHelper::getSession() == nullptr) {
        MessageUtil::message("Could not save snapshot. Session is not yet configured.");
        return false;
    }
    if (edge.isDying()) {
        MessageUtil::message("Could not save snapshot. VM already terminated.");
        return false;
    }
    if (edge.snapshotMonitor != nullptr)
        edge.jvmti->RawMonitorEnter(edge.snapshotMonitor);
    bool saved = false;
    if (edge.isDying()) {
        MessageUtil::message("Could not save snapshot. VM already terminated.");
    } else {
        JavaSnapshotPart javaPart(env);
        SnapshotSources s = sources(session);
        s.javaPart = env != nullptr ? &javaPart : nullptr;
        saved = SnapshotWriter::saveWithConfiguration(path, s, *session->getConfig(), edge.startTime,
                                                      session->getOptions().keepTempSnapshots);
    }
    if (edge.snapshotMonitor != nullptr)
        edge.jvmti->RawMonitorExit(edge.snapshotMonitor);
    return saved;
}

bool LiveSnapshots::saveCobaltSnapshot(LiveProfilingSession *session, const char *path, JNIEnv *env, bool savePayloads,
                                       jobjectArray javaArguments)
{
    JavaSnapshotPart javaPart(env, javaArguments);
    SnapshotSources s = sources(session);
    s.javaPart = env != nullptr ? &javaPart : nullptr;
    return SnapshotWriter::saveRecorderSnapshot(path, s, session->getEdge().startTime, session->getOptions().keepTempSnapshots,
                                                savePayloads);
}

extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_java_CobaltRecorder_createCobaltSnapshot(JNIEnv *env, jclass, jbyteArray path,
                                                                                                 jobject, jboolean savePayloads,
                                                                                                 jobjectArray javaArguments)
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr)
        NoSessionReport::report();
    if (session == nullptr || path == nullptr)
        return 0;
    std::string name = JavaNatives::bytes(env, path);
    return LiveSnapshots::saveCobaltSnapshot(session, name.c_str(), env, savePayloads != JNI_FALSE, javaArguments) ? 1 : 0;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_saveSnapshot0(JNIEnv *env, jclass, jbyteArray path,
                                                                                   jobject, jboolean)
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr)
        NoSessionReport::report();
    if (session == nullptr || path == nullptr)
        return;
    std::string name = JavaNatives::bytes(env, path);
    LiveSnapshots::saveSnapshot(session, name.c_str(), env);
}
