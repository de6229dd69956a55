#ifndef AGENT_JVMPI_LIVEPROFILINGSESSION_H
#define AGENT_JVMPI_LIVEPROFILINGSESSION_H

#include <atomic>
#include <memory>
#include <string>

#include "AgentOptions.h"
#include "Communicator.h"
#include "LiveHeapProfilingSession.h"
#include "PiVmCommands.h"
#include "ProfilingSession.h"
#include "Transport.h"
#include "jvmpi.h"

// The live session of piagent: start-up, the one event dispatcher and the
// session's locks, all through the profiler interface.
class LiveProfilingSession : public ProfilingSession {
public:
    // The interface kind this build reports.
    static const int INTERFACE_KIND = 1;

    LiveProfilingSession();
    ~LiveProfilingSession() override;

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

    // Null before start-up.
    LiveHeapProfilingSession *getHeapSession() { return heapSession.get(); }
    const AgentOptions &getOptions() const { return options; }
    const std::string &getVmVersion() const { return vmVersion; }
    int getInterfaceKind() const { return interfaceKind; }
    // 1 or 2 decide whether shut-down waits for the front end.
    void setMode(int value) { mode = value; }

private:
    void handleShutDown();

    AgentOptions options;
    std::string vmVersion;
    int interfaceKind;
    int mode;
    bool attached;
    PiVmCommands vmCommands;
    std::unique_ptr<LiveHeapProfilingSession> heapSession;
    std::unique_ptr<Transport> transport;
    std::unique_ptr<Communicator> communicator;
    // The native thread's connection ended before command 1.
    std::atomic<bool> closed;
};

#endif
