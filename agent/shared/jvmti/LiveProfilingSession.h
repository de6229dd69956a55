#ifndef AGENT_LIVEPROFILINGSESSION_H
#define AGENT_LIVEPROFILINGSESSION_H

#include <jni.h>
#include <jvmti.h>
#include <memory>
#include <vector>
#include <mutex>

#include "AgentOptions.h"
#include "Communicator.h"
#include "LiveClassProfilingSession.h"
#include "LiveVmCommands.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "Transport.h"

class JavaThreadTransport;

class LiveProfiling;

// The one session of a live VM: start-up, the options, the front-end
// communicator, the data locks and the timed waits.
class LiveProfilingSession : public ProfilingSession {
public:
    // The session of the VM that `edge` reaches; the edge outlives it.
    explicit LiveProfilingSession(LiveProfiling *edge);

    // Start-up from Agent_OnLoad (attach false) or Agent_OnAttach (attach
    // true); switching when a session existed before. Runs on the VM's
    // loading thread; exits or aborts only for the start-up failures that the
    // messages name.
    void init(JavaVM *vm, const char *options, bool attach, bool switching);
    // Start-up of the recorder, without JVMTI, from the agent's Java side:
    // the four data locks are the Java objects of `monitors` (heap, class,
    // thread, dead threads), the agent's Java thread serves the front end.
    // False (nothing started) when the monitors are not four objects.
    bool initRecorder(JNIEnv *env, const char *options, jobjectArray monitors);

    // Applies the option string and the configuration file it implies. Ends
    // the process for "monitor" (abort) and a missing required file (through
    // the edge's endVm, status -1).
    void setOptions(const char *options);

    // Command 1: takes the configuration the front end sends (or keeps the
    // current one), writes the script files it carries into the script
    // directory and applies it. Ends the VM (the edge's endVm, status -1) when
    // the configuration cannot be read, as with a configuration file.
    void handleCmdSetParameters(DataWriter *writer, DataReader *reader, JNIEnv *env);
    // Command 45: the current configuration document.
    void handleCmdGetParameters(DataWriter *writer);
    // Command 59, the front end's periodic poll: U4 2 while the dying VM
    // waits for the front end (else 1), the recording switches and change
    // flags (13 bytes), the probe recording state (U4 length and the bytes)
    // and the newly auto-tuned methods (byte 1 and ID each, byte 0), the time
    // now and the VM start's wall-clock second (JLong each), then the method
    // and class descriptions not sent yet. A dying VM whose configuration
    // does not keep it alive is then let go.
    void handleCmdGetVMState(DataWriter *writer, JNIEnv *env);
    void handleCmdGetState(DataReader *reader, DataWriter *writer) override;

    void enterMonitor(int bits) override;
    void exitMonitor(int bits, bool javaObjects) override;
    int getAllocTreeRecordingType() override;
    long long getVmIdentifier() override;
    bool isAllUrls() override;
    int getCallTreeCollectionMethod() override;
    int getExceptionalCap() override;
    int getExceptionalTimeType() override;
    bool isRecordingArrayAllocs() override;
    bool isAllocRecording() override;

    // The start-up switches of the configuration in force, once it is
    // applied (at start-up from the configuration file, or by command 1):
    // allocation recording on (recordAllocOnStartup), CPU recording on with
    // its data reset (recordCPUOnStartup), triggers off unless
    // enableTriggersOnStartup (back on in nowait mode after a configuration
    // that had been read, `previous`).
    void applyStartupSwitches(JNIEnv *env, const SessionConfig *previous);

    // ms > 0 waits that long; 0 waits in 200 ms steps until wakeup().
    void sleep(int ms);
    // The same through java.lang.Thread.sleep, for the recorder without JVMTI.
    void sleepWithoutJvmti(int ms);
    void wakeup();
    // Applies the session configuration to the sub-sessions and logs it.
    bool initParameters(JNIEnv *env);
    // Body of "_orvane_native_comm": serves front ends until the agent ends.
    // With the Java-thread transport it returns when the Java side has no
    // more requests.
    void runCommunicator(JNIEnv *env, jobject javaCommunicator = nullptr);
    // A Java thread of the agent serves the command loop (nowait and offline
    // modes); returns when the connection is over. Offline, a port below 1
    // returns at once. Runs on that Java thread.
    void javaCommThreadEnter(JNIEnv *env, jobject javaCommunicator, int javaPort);
    unsigned getCommunicatorStatus();
    // The VM ends with no front end connected: the serving thread stops
    // waiting for one, so that the VM need not wait for it.
    void stopWaitingForFrontend();
    // Listens on the session's port before the communication thread runs.
    void listenForFrontend();
    bool isConfigRead() const { return config != nullptr && config->sessionRead; }
    // Removes the temporary files of the sub-sessions and the configuration.
    void deleteTempFiles();

    const AgentOptions &getOptions() const { return options; }
    // The configuration in force (replaced by command 1); null before start-up.
    const SessionConfig *getConfig() const { return config; }
    bool isAttached() const { return attached; }
    bool isSwitching() const { return switching; }
    const std::string &getVmVersion() const { return vmVersion; }
    LiveClassProfilingSession &getClassSession() { return classSession; }
    ClassProfilingSession *getClassProfilingSession() override { return &classSession; }
    // The sampler's telemetry once the sampler runs.
    SamplerSession *getSamplerSession() override;
    int getPort() const { return port; }

    // The VM edge this session runs on.
    LiveProfiling &getEdge() const { return *edge; }

private:
    // The threads of the VM that the attach sequence holds while it installs
    // the events: every thread the VM listed (local references, JVMTI
    // buffer) and those suspended with their results.
    struct SuspendedThreads {
        jint count = 0;
        jthread *all = nullptr;
        std::vector<jthread> threads;
        std::vector<jvmtiError> results;
    };
    void attachSequence(JNIEnv *env);
    // Switching from the recorder: its Java object locks give way to the raw
    // monitors, entered and left around the switch.
    void handOverRecorderLocks();
    // Binds the communication thread's native and starts AttachManager.
    void startAttachManager(JNIEnv *env);
    // Every thread but the calling one, when the VM lets the agent suspend.
    void suspendOtherThreads(JNIEnv *env, SuspendedThreads *out);
    // Resumes what was suspended and releases the thread list.
    void resumeThreads(JNIEnv *env, SuspendedThreads *suspended);
    void checkVm();
    // Reads the script files of command 1 and writes them into the script directory.
    void receiveScripts(DataReader *reader);
    // Hands the configuration's recording settings to the CPU session.
    void applyCpuSettings();
    // The front end's transport from now on: the socket of the session's
    // port, or the Java thread's for port 0; offline, the offline channel,
    // which answers only what the session itself owns. Makes the first
    // communicator over it. Caller holds communicatorLock.
    void openTransport(bool offline);
    // Binds the VM commands and a Java-thread transport to the serving thread.
    void bindServingThread(JNIEnv *env, jobject javaCommunicator);
    // A front end went: what it switched on goes off and what was recorded
    // for it is dropped, so that the next one starts from nothing.
    void stopAndResetRecording(JNIEnv *env);

    LiveProfiling *edge;
    int port;
    int stack;
    int samplingstack;
    SessionConfig *config;
    AgentOptions options;
    bool attached;
    bool switching;
    std::mutex communicatorLock;
    std::unique_ptr<Transport> transport;
    // The transport when it is the Java thread's (or offline), else null.
    JavaThreadTransport *javaTransport;
    LiveVmCommands vmCommands;
    CommandOwners owners;
    Communicator *communicator;
    LiveClassProfilingSession classSession;
    bool parametersSet;
};

#endif
