#include "LiveCommunicator.h"

#include <csignal>
#include <cstdlib>
#include <mutex>

#include "AgentAssert.h"
#include "ByteArrayDataReader.h"
#include "Counter.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "JavaDataWriter.h"
#include "CpuProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"

// One row of the live dispatcher: the command and the member that runs it.
struct LiveCommunicator::LiveCommand {
    uint32_t command;
    void (LiveCommunicator::*handle)();
};

namespace {

const LiveCommunicator::Command NO_COMMAND = static_cast<LiveCommunicator::Command>(-1);

} // namespace

LiveCommunicator::LiveCommunicator(LiveProfilingSession *session, int port, const std::string &address,
                                   LiveCommunicator *previous)
    : SocketCommunicator(session, port, address), liveSession(session), env(nullptr), javaCommunicator(nullptr),
      connectedOnce(false), connected(false), javaWriter(nullptr), requestReader(nullptr), communicationClass(nullptr),
      readCommandMethod(nullptr), limitMethod(nullptr)
{
    inheritListenSocket(previous);
    // The Java side hands over whole requests: nothing to acknowledge.
    if (port == 0)
        acknowledge = 0;
}

LiveCommunicator::~LiveCommunicator()
{
    closeJavaChannel();
}

void LiveCommunicator::setJavaPointers(JNIEnv *newEnv, jobject newJavaCommunicator)
{
    env = newEnv;
    javaCommunicator = newJavaCommunicator;
    if (javaWriter != nullptr)
        javaWriter->setJavaPointers(newEnv, newJavaCommunicator);
}

bool LiveCommunicator::openJavaChannel()
{
    if (env == nullptr) {
        MessageUtil::message("ERROR: No Java thread serves the command loop.");
        ended = 1;
        return false;
    }
    closeJavaChannel();
    ended = 0;
    jclass local = env->FindClass("com/orvane/agent/java/JavaCommunication");
    if (local == nullptr)
        env->ExceptionClear();
    AGENT_ASSERT(local != nullptr, "com/orvane/agent/java/JavaCommunication");
    communicationClass = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    readCommandMethod = env->GetStaticMethodID(communicationClass, "readCommand", "()Ljava/nio/ByteBuffer;");
    if (readCommandMethod == nullptr)
        env->ExceptionClear();
    AGENT_ASSERT(readCommandMethod != nullptr, "JavaCommunication.readCommand()");
    jclass buffer = env->FindClass("java/nio/Buffer");
    if (buffer == nullptr)
        env->ExceptionClear();
    AGENT_ASSERT(buffer != nullptr, "java/nio/Buffer");
    limitMethod = env->GetMethodID(buffer, "limit", "()I");
    if (limitMethod == nullptr)
        env->ExceptionClear();
    AGENT_ASSERT(limitMethod != nullptr, "Buffer.limit()");
    env->DeleteLocalRef(buffer);

    javaWriter = new JavaDataWriter(env, javaCommunicator);
    requestReader = new ByteArrayDataReader(nullptr, -1);
    setStreams(requestReader, javaWriter);
    return true;
}

void LiveCommunicator::closeJavaChannel()
{
    // Possibly on another thread than the one that served the loop.
    JNIEnv *here = communicationClass != nullptr ? liveSession->getEdge().getJNIEnv() : nullptr;
    if (here != nullptr)
        here->DeleteGlobalRef(communicationClass);
    communicationClass = nullptr;
    readCommandMethod = nullptr;
    limitMethod = nullptr;
}

bool LiveCommunicator::process()
{
    if (!isJavaTransport())
        return SocketCommunicator::process();
    return processJavaRequests();
}

bool LiveCommunicator::processJavaRequests()
{
    while (!ended && !finished) {
        jobject request = env->CallStaticObjectMethod(communicationClass, readCommandMethod);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            request = nullptr;
        }
        if (request == nullptr) {
            // The Java side has no more requests: this connection is over.
            ended = 1;
            break;
        }
        jint length = env->CallIntMethod(request, limitMethod);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            length = 0;
        }
        void *address = env->GetDirectBufferAddress(request);
        bool keepServing = true;
        if (length > 0 && address != nullptr) {
            // Each buffer holds whole requests: a short one ends at the
            // buffer's end instead of reading beyond it.
            requestReader->setByteArray(address, length);
            keepServing = processSingle();
        }
        env->DeleteLocalRef(request);
        if (!keepServing)
            return false;
    }
    return true;
}

const LiveCommunicator::LiveCommand *LiveCommunicator::findLiveCommand(uint32_t command)
{
    static const LiveCommand LIVE_COMMANDS[] = {
        {CMD_SET_PARAMETERS, &LiveCommunicator::handleSetParameters},
        {CMD_FORCE_GC, &LiveCommunicator::handleForceGc},
        {CMD_GET_PARAMETERS, &LiveCommunicator::handleGetParameters},
        {CMD_ENABLE_TRIGGERS, &LiveCommunicator::handleEnableTriggers},
        {CMD_ENABLE_TRIGGER_GROUPS, &LiveCommunicator::handleEnableTriggerGroups},
        {CMD_HPROF_DUMP, &LiveCommunicator::handleHprofDump},
        {CMD_SET_RECORD_CPU, &LiveCommunicator::handleSetRecordCpu},
        {CMD_THREAD_PROFILING, &LiveCommunicator::handleThreadProfiling},
        {CMD_INVOCATION_TREE_UPDATE, &LiveCommunicator::handleInvocationTreeUpdate},
        {CMD_HOTSPOT_TREE_UPDATE, &LiveCommunicator::handleHotspotTreeUpdate},
        {CMD_THREAD_DUMP, &LiveCommunicator::handleThreadDump},
        {CMD_LOAD_INFO, &LiveCommunicator::handleGetLoadInfo},
        {CMD_LOAD_INFO_WITH_PAYLOAD, &LiveCommunicator::handleGetLoadInfo},
        {CMD_THREAD_DESCRIPTIONS, &LiveCommunicator::handleThreadDescriptions},
        {CMD_EXPAND_INVOCATION_NODE, &LiveCommunicator::handleExpandInvocationNode},
        {CMD_EXPAND_HOTSPOT_NODE, &LiveCommunicator::handleExpandHotspotNode},
        {CMD_METHOD_GRAPH, &LiveCommunicator::handleMethodGraph},
        {CMD_SET_TRACE_RECORD, &LiveCommunicator::handleSetTraceRecord},
        {CMD_GET_TRACES, &LiveCommunicator::handleGetTraces},
        {CMD_MONITOR_USAGE_HISTORY, &LiveCommunicator::handleMonitorUsageHistory},
        {CMD_MONITOR_USAGE_CURRENT, &LiveCommunicator::handleMonitorUsageCurrent},
        {CMD_MONITOR_USAGE_STATS, &LiveCommunicator::handleMonitorUsageStats},
        {CMD_SET_RECORD_MONITORS, &LiveCommunicator::handleSetRecordMonitors},
        {CMD_GET_MONITOR_ID, &LiveCommunicator::handleGetMonitorId},
        {CMD_GET_VM_STATE, &LiveCommunicator::handleGetVmState},
        {CMD_ANNOTATION_HOTSPOT_UPDATE, &LiveCommunicator::handleAnnotationHotspotUpdate},
        {CMD_SET_RECORD_METHOD_STATISTICS, &LiveCommunicator::handleSetRecordMethodStatistics},
        {CMD_GET_METHOD_STATISTICS, &LiveCommunicator::handleGetMethodStatistics},
        {CMD_GET_EXECUTION_SITES, &LiveCommunicator::handleGetExecutionSites},
        {NO_COMMAND, nullptr},
    };
    for (const LiveCommand *row = LIVE_COMMANDS; row->handle != nullptr; row++) {
        if (row->command == command)
            return row;
    }
    return nullptr;
}

bool LiveCommunicator::establishConnection()
{
    connected = isJavaTransport() ? openJavaChannel() : SocketCommunicator::establishConnection();
    return connected;
}

bool LiveCommunicator::processComand(uint32_t command)
{
    if ((!liveSession->getEdge().jvmti11 || liveSession->getEdge().ibmVm) && !connectedOnce) {
        liveSession->updateVmStartTime(Counter::getUsec(), true);
        connectedOnce = true;
    }
    if (const LiveCommand *row = findLiveCommand(command)) {
        (this->*row->handle)();
        return true;
    }
    return Communicator::processComand(command);
}

void LiveCommunicator::handleSetParameters()
{
    liveSession->handleCmdSetParameters(writer, reader, env);
    liveSession->updateVmStartTime(Counter::getUsec(), true);
    status = STATUS_CONNECTED;
    connectedOnce = true;
    liveSession->getEdge().registerConnection(env, true);
    writer->flush();
}

void LiveCommunicator::handleForceGc()
{
    jvmtiError error = liveSession->getEdge().jvmti->ForceGarbageCollection();
    if (error != JVMTI_ERROR_NONE)
        MessageUtil::message("Could not force garbage collection (%d).", static_cast<int>(error));
}

void LiveCommunicator::handleGetParameters()
{
    liveSession->handleCmdGetParameters(writer);
}

void LiveCommunicator::handleEnableTriggers()
{
    liveSession->getEdge().enableTriggers(env, reader->readByte(0) != 0);
}

void LiveCommunicator::handleEnableTriggerGroups()
{
    bool on = reader->readByte(0) != 0;
    uint32_t count = reader->readU4(0);
    for (uint32_t i = 0; i < count && !reader->getError(); i++) {
        char *name = reader->readString(nullptr);
        if (name == nullptr)
            break;
        liveSession->getEdge().enableTriggerGroup(on, name, env);
        delete[] name;
    }
}

void LiveCommunicator::handleHprofDump()
{
    char *path = reader->readString(nullptr);
    bool live = reader->readByte(0) != 0;
    if (reader->getError()) {
        delete[] path;
        writer->writeByte(0);
        writer->writeString("");
        return;
    }
    jstring problem = liveSession->getEdge().doHprofDump(path, live, env, false);
    delete[] path;
    if (problem == nullptr) {
        writer->writeByte(0);
        writer->writeString("");
        return;
    }
    const char *text = env->GetStringUTFChars(problem, nullptr);
    writer->writeByte(1);
    writer->writeString(text);
    if (text != nullptr)
        env->ReleaseStringUTFChars(problem, text);
    env->DeleteLocalRef(problem);
}

void LiveCommunicator::handleThreadProfiling()
{
    bool on = reader->readByte(0) != 0;
    if (!reader->getError())
        liveSession->getEdge().setThreadProfiling(on, env);
}

void LiveCommunicator::handleSetRecordCpu()
{
    LiveCpuProfilingHelper::getSession()->handleCmdSetRecordCpu(reader);
}

void LiveCommunicator::handleInvocationTreeUpdate()
{
    LiveCpuProfilingHelper::getSession()->handleCmdInvocationTreeUpdate(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleHotspotTreeUpdate()
{
    LiveCpuProfilingHelper::getSession()->handleCmdHotspotTreeUpdate(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleThreadDump()
{
    bool newDump = reader->readByte(0) != 0;
    LiveCpuProfilingHelper::getSession()->handleCmdThreadDump(writer, newDump, &liveSession->getClassSession());
}

void LiveCommunicator::handleThreadDescriptions()
{
    LiveCpuProfilingHelper::getSession()->handleCmdThreadDescriptions(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleAnnotationHotspotUpdate()
{
    LiveCpuProfilingHelper::getSession()->handleCmdAnnotationHotspotUpdate(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleSetRecordMethodStatistics()
{
    LiveCpuProfilingHelper::getSession()->handleCmdSetRecordMethodStatistics(reader);
}

void LiveCommunicator::handleGetMethodStatistics()
{
    LiveCpuProfilingHelper::getSession()->handleCmdGetMethodStatistics(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleGetExecutionSites()
{
    LiveCpuProfilingHelper::getSession()->handleCmdGetExecutionSites(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleExpandInvocationNode()
{
    LiveCpuProfilingHelper::getSession()->handleCmdExpandInvocationNode(reader, writer);
}

void LiveCommunicator::handleExpandHotspotNode()
{
    LiveCpuProfilingHelper::getSession()->handleCmdExpandHotspotNode(reader, writer);
}

void LiveCommunicator::handleMethodGraph()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMethodGraph(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleSetTraceRecord()
{
    LiveCpuProfilingHelper::getSession()->handleCmdSetTraceRecord(reader);
}

void LiveCommunicator::handleGetTraces()
{
    LiveCpuProfilingHelper::getSession()->handleCmdGetTraces(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleMonitorUsageHistory()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMonitorUsageHistory(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleMonitorUsageCurrent()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMonitorUsageCurrent(writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleMonitorUsageStats()
{
    LiveCpuProfilingHelper::getSession()->handleCmdMonitorUsageStats(reader, writer, &liveSession->getClassSession());
}

void LiveCommunicator::handleSetRecordMonitors()
{
    int on = LiveCpuProfilingHelper::getSession()->handleCmdSetRecordMonitors(reader);
    if (on >= 0)
        liveSession->getEdge().setMonitorProfiling(on != 0, env);
}

void LiveCommunicator::handleGetMonitorId()
{
    LiveCpuProfilingHelper::getSession()->handleCmdGetMonitorId(reader, writer);
}

void LiveCommunicator::handleGetVmState()
{
    liveSession->handleCmdGetVMState(writer, env);
}

void LiveCommunicator::handleGetLoadInfo()
{
    liveSession->getEdge().handleCmdGetLoadInfo(writer, env, connectedOnce, status);
}

void LiveCommunicator::onListenFailure()
{
    // A VM that waits for its front end cannot go on without the port; one
    // that does not wait keeps running without a front end.
    if (liveSession->getEdge().nowait) {
        SocketCommunicator::onListenFailure();
        return;
    }
    liveSession->getEdge().endVm(LiveProfiling::END_LISTEN_FAILED);
}

void LiveCommunicator::cleanupConnection()
{
    status = STATUS_CLEANED_UP;
    liveSession->getEdge().frontendWasConnected = true;
    // The next front end has none of the descriptions this one received.
    liveSession->getClassSession().resetDifferentialDataTransfer();
    if (port != 0 && env != nullptr)
        liveSession->getEdge().registerConnection(env, false);
    liveSession->wakeup();
    closeConnection();
    javaWriter = nullptr;
    requestReader = nullptr;
    closeJavaChannel();
    if (exitProcess) {
        SocketCommunicator::cleanupConnection();
        liveSession->getEdge().endVm(LiveProfiling::END_FRONTEND_EXIT);
    }
    if (interruptProcess) {
        SocketCommunicator::cleanupConnection();
        raise(SIGINT);
    }
}

namespace {

// Exports called while no live session exists say so once per process.
void reportNoSession()
{
    static std::once_flag reported;
    std::call_once(reported, [] {
        MessageUtil::message("The native library has not been initialized.");
        MessageUtil::message("Profiling commands will be ignored.");
        MessageUtil::message("Did you forget the -agentpath parameter?");
    });
}

} // namespace

// Java side: com.orvane.agent.Agent.enterCommunication(Object communicator, int port).
// The calling Java thread serves the command loop until the connection is over.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_enterCommunication(JNIEnv *env, jclass, jobject communicator, jint port)
{
    if (LiveProfiling::instance().getSession() == nullptr) {
        reportNoSession();
        return;
    }
    LiveProfiling::instance().getSession()->javaCommThreadEnter(env, communicator, port);
}
