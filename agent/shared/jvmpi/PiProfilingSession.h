#ifndef AGENT_JVMPI_PIPROFILINGSESSION_H
#define AGENT_JVMPI_PIPROFILINGSESSION_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "AgentOptions.h"
#include "Communicator.h"
#include "PiClassProfilingSession.h"
#include "LiveCpuProfilingSession.h"
#include "LiveHeapProfilingSession.h"
#include "HeapViews.h"
#include "PiHeapdump.h"
#include "LiveSamplerSession.h"
#include "PiVmCommands.h"
#include "PiVmInterface.h"
#include "SessionConfig.h"
#include "ProfilingSession.h"
#include "Transport.h"
#include "jvmpi.h"

// The live session of piagent: start-up, the one event dispatcher and the
// session's locks, all through the profiler interface.
class PiProfilingSession : public ProfilingSession {
public:
    // The interface kind this build reports (state replies, snapshot headers).
    static const int INTERFACE_KIND = 1;

    PiProfilingSession();
    ~PiProfilingSession() override;

    // The start-up; ends the process when the VM has no profiler interface
    // or refuses an event.
    void init(JavaVM *vm, const char *options, bool attach, bool switching);
    // Every VM event, by its type.
    void notifyEvent(JVMPI_Event *event);
    // The agent's own raw monitors, whose contention is never recorded.
    bool isMyMonitor(JVMPI_RawMonitor monitor) const;

    void enterMonitor(int bits) override;
    void exitMonitor(int bits, bool javaObjects) override;
    // Timed wait on the sleep monitor; 0 waits until shouldWakeup is set.
    void sleep(int ms);
    // Serves the front end on the native communication thread until the
    // connection ends or the Java communication thread must take over.
    void runCommunicator(JNIEnv *env);
    unsigned getCommunicatorStatus() const;
    // The Java communication thread serves the front end (command 1 then no
    // longer ends the loop).
    bool isJavaServing() const { return javaServing; }
    // The agent's Java communication thread: waits until the native thread
    // hands the connection over (or there is none), applies the
    // configuration's recordings and serves the rest of the connection.
    void javaCommThreadEnter(JNIEnv *env);

    // Command 1: the configuration the front end sends (byte 1 and the
    // configuration; byte 0 keeps the current one).
    void handleCmdSetParameters(DataReader *reader, DataWriter *writer);
    // Command 45: the configuration document in force.
    void handleCmdGetParameters(DataWriter *writer);
    // Command 59, the front end's periodic poll, as tiagent answers it (U4 2
    // while the dying VM waits for the front end); `env` is the serving
    // thread's. A dying VM that its configuration does not keep alive is
    // then let go.
    void handleCmdGetVMState(DataWriter *writer, JNIEnv *env);
    // Ends a timed wait of sleep(0).
    void wakeup();
    // At the VM's end: removes the heap dump's and the configuration's
    // temporary files.
    void deleteTempFiles();
    // Applies the configuration: the collection method, the VM's method
    // events and the sampler thread.
    bool initParameters(JNIEnv *env);
    // The body of the sampler thread: a pass every sampling interval until
    // the sampler is stopped.
    void runSampler(JNIEnv *env);
    const SessionConfig *getConfig() const { return config.get(); }
    // A session was read from the configuration file at start-up.
    bool isConfigRead() const;

    // The configuration's allocation-tree recording type (1 before one came).
    int getAllocTreeRecordingType() override;
    int getCallTreeCollectionMethod() override;
    // The configuration's switch: views keep probe calls that call nothing.
    bool isAllUrls() override;
    ClassProfilingSession *getClassProfilingSession() override { return classSession.get(); }
    SamplerSession *getSamplerSession() override { return samplerSession.get(); }
    bool isAllocRecording() override { return heapSession != nullptr && heapSession->isRecording(); }

    // Null before start-up.
    LiveHeapProfilingSession *getHeapSession() { return heapSession.get(); }
    PiClassProfilingSession *getClassSession() { return classSession.get(); }
    LiveCpuProfilingSession *getCpuSession() { return cpuSession.get(); }
    LiveSamplerSession *getLiveSamplerSession() { return samplerSession.get(); }
    const AgentOptions &getOptions() const { return options; }
    const std::string &getVmVersion() const { return vmVersion; }
    int getInterfaceKind() const { return interfaceKind; }
    // The session's mode, 0 unless set: in a heap dump 2 holds the
    // collector and 1 gives the older array sizes.
    void setMode(int value) { mode = value; }
    int getMode() const { return mode; }
    PiHeapdump *getHeapdump() { return heapdump.get(); }
    // The heap views (commands 3, 4) the snapshot's heap section comes from.
    HeapProfilingSession *getHeapViews() { return heapViews.get(); }
    // Command 49: allocation recording on (the VM's allocation and free
    // events enabled) or off.
    void setAllocRecord(bool on);
    // The Java controller's CPU recording switch: with the VM's method
    // events as the collection method they are switched with it (off, the
    // VM reports no calls at all); with `reset` the trees start afresh.
    void setCpuRecording(bool on, bool reset);
    // VM telemetry: the Java side's ticks are kept as samples while it is
    // recorded; switching it on clears what was kept.
    void setVmTelemetryRecording(bool on);
    bool isVmTelemetryRecording() const { return vmTelemetry; }
    // One tick of the Java side: the class and object counts, the memory
    // values and the custom values as a telemetry sample, while VM
    // telemetry is recorded (and the sampler runs); whether it records.
    bool addJavaSample(long long memory1, long long memory2, const std::vector<int32_t> &custom);

    // Command 44; at a configured session "Reconnection.", and thread
    // profiling and VM telemetry on again.
    void handleCmdGetState(DataReader *reader, DataWriter *writer) override;

private:
    void handleShutDown();
    // After a front end that sent commands: thread and monitor profiling,
    // VM telemetry, allocation and CPU recording off, their data dropped.
    void stopAndResetRecording();
    void setServingFrontend(bool serving);
    // With nowait or offline: the session of the configuration file that the
    // options name (or $HOME/.orvane7/config.xml), read and handed to the
    // class session. Ends the process with status -1 when the file or the
    // id is missing or the session cannot be read.
    void readConfigurationFile();

    AgentOptions options;
    int mode;
    bool attached;
    PiVmCommands vmCommands;
    std::unique_ptr<SessionConfig> config;
    std::unique_ptr<PiClassProfilingSession> classSession;
    std::unique_ptr<LiveHeapProfilingSession> heapSession;
    std::unique_ptr<HeapProfilingSession, void (*)(HeapProfilingSession *)> heapViews{nullptr, HeapViews::destroy};
    std::unique_ptr<PiHeapdump> heapdump;
    std::unique_ptr<PiVmInterface> vmInterface;
    std::unique_ptr<LiveCpuProfilingSession> cpuSession;
    std::unique_ptr<LiveSamplerSession> samplerSession;
    std::unique_ptr<Transport> transport;
    CommandOwners owners;
    std::unique_ptr<Communicator> communicator;
    // The Java communication thread's connections; the current one, once
    // it took the connection over.
    std::vector<std::unique_ptr<Communicator>> javaCommunicators;
    std::atomic<Communicator *> javaCommunicator{nullptr};
    std::atomic<bool> javaServing;
    // The Java communication thread serves a connected front end (changed
    // under the sleep monitor).
    bool servingFrontend;
    bool parametersApplied;
    // The native thread's connection ended before command 1.
    std::atomic<bool> closed;
    // The native thread left its connection open for the Java thread.
    std::atomic<bool> handedOver{false};
    std::atomic<bool> vmTelemetry{false};
};

#endif
