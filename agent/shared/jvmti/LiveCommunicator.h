#ifndef AGENT_LIVECOMMUNICATOR_H
#define AGENT_LIVECOMMUNICATOR_H

#include <jni.h>
#include <string>

#include "SocketCommunicator.h"

class ByteArrayDataReader;
class JavaDataWriter;
class LiveProfilingSession;

// The live session's front-end connection: the socket transport with the
// commands of a live VM (configuration, garbage collection, triggers, heap
// dumps), and the clean-up that tells the Java side and the waiting VM that
// the front end has gone.
//
// With port 0 the agent opens no socket: a Java thread of the agent serves
// the loop, takes each request from JavaCommunication.readCommand (a direct
// buffer holding one framed request, without acknowledgement bytes) and the
// replies go back through JavaDataWriter. The loop ends when readCommand
// returns null.
class LiveCommunicator : public SocketCommunicator {
public:
    // port 0: the Java-thread transport. address empty: all addresses. The
    // listening socket of `previous`, when given, is taken over.
    LiveCommunicator(LiveProfilingSession *session, int port, const std::string &address, LiveCommunicator *previous);
    ~LiveCommunicator() override;

    // Binds the communicator and its Java writer to the serving thread's JNI
    // environment and the agent's Java communicator object.
    void setJavaPointers(JNIEnv *env, jobject javaCommunicator);
    // Rebinds only the Java communicator object.
    void setJavaCommunicator(jobject javaCommunicator) { this->javaCommunicator = javaCommunicator; }
    // A front end completed the handshake on this communicator.
    bool wasConnected() const { return connected; }
    // Requests come from the agent's Java side instead of a socket.
    bool isJavaTransport() const { return port == 0; }
    // Serves requests: from the socket, or from the Java side until it has no more.
    bool process() override;

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
    void handleGetVmState();
    void handleAnnotationHotspotUpdate();
    void handleSetRecordMethodStatistics();
    void handleGetMethodStatistics();
    void handleGetExecutionSites();

    // The Java-thread transport's half of establishConnection and process.
    bool openJavaChannel();
    bool processJavaRequests();
    void closeJavaChannel();

    LiveProfilingSession *liveSession;
    JNIEnv *env;
    jobject javaCommunicator;
    bool connectedOnce;
    bool connected;
    // Java-thread transport: the writer (owned as `writer` while bound),
    // the reader re-pointed at each request, and the Java members it calls.
    JavaDataWriter *javaWriter;
    ByteArrayDataReader *requestReader;
    jclass communicationClass;
    jmethodID readCommandMethod;
    jmethodID limitMethod;
};

// Java side: com.orvane.agent.Agent.enterCommunication(Object communicator, int port).
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_enterCommunication(JNIEnv *env, jclass, jobject communicator, jint port);

#endif
