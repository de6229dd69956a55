#ifndef AGENT_LIVECOMMUNICATOR_H
#define AGENT_LIVECOMMUNICATOR_H

#include <jni.h>
#include <string>

#include "SocketCommunicator.h"

class LiveProfilingSession;

// The live session's front-end connection: the socket transport with the
// commands of a live VM (configuration, garbage collection, triggers, heap
// dumps), and the clean-up that tells the Java side and the waiting VM that
// the front end has gone.
class LiveCommunicator : public SocketCommunicator {
public:
    // port 0: no socket transport. address empty: all addresses. The listening
    // socket of `previous`, when given, is taken over.
    LiveCommunicator(LiveProfilingSession *session, int port, const std::string &address, LiveCommunicator *previous);

    // Binds the communicator to the serving thread's JNI environment.
    void setJavaPointers(JNIEnv *env, jobject javaCommunicator);
    // A front end completed the handshake on this communicator.
    bool wasConnected() const { return connected; }

protected:
    bool establishConnection() override;
    bool processComand(uint32_t command) override;
    void cleanupConnection() override;
    // Inside the VM nobody could ever connect: the process ends with status 1.
    void onListenFailure() override;

private:
    struct LiveCommand;
    static const LiveCommand *findLiveCommand(uint32_t command);

    void handleSetParameters();
    void handleForceGc();
    void handleGetParameters();
    void handleEnableTriggers();
    void handleEnableTriggerGroups();
    void handleHprofDump();
    void handleSetViewFilter();
    void handleGetClasses();
    void handleSetRecordCpu();
    void handleThreadProfiling();
    void handleInvocationTreeUpdate();
    void handleHotspotTreeUpdate();
    void handleThreadDump();
    void handleGetLoadInfo();
    void handleThreadDescriptions();
    void handleExpandInvocationNode();
    void handleExpandHotspotNode();
    void handleMethodGraph();
    void handleSetTraceRecord();
    void handleGetTraces();
    void handleMonitorUsageHistory();
    void handleMonitorUsageCurrent();
    void handleMonitorUsageStats();
    void handleSetRecordMonitors();
    void handleGetMonitorId();

    LiveProfilingSession *liveSession;
    JNIEnv *env;
    jobject javaCommunicator;
    bool connectedOnce;
    bool connected;
};

#endif
