#ifndef AGENT_PROFILINGSESSION_H
#define AGENT_PROFILINGSESSION_H

#include <string>

class ClassProfilingSession;
class SamplerSession;
class DataReader;
class DataWriter;

// Base of the live session and of a session loaded from a snapshot: the state
// the front end asks for and the configuration getters. The interface binding
// overrides the lock operations.
class ProfilingSession {
public:
    static const int PROTOCOL_VERSION = 36;

    ProfilingSession();
    virtual ~ProfilingSession();
    ProfilingSession(const ProfilingSession &) = delete;
    ProfilingSession &operator=(const ProfilingSession &) = delete;

    // Command 44: reads whether a temporary file is wanted and writes the
    // session state. The temporary file, when asked for, is a new empty
    // private file (prefix "ovs") whose name ends the reply.
    virtual void handleCmdGetState(DataReader *reader, DataWriter *writer);
    virtual void enterMonitor(int bits);
    virtual void exitMonitor(int bits, bool javaObjects);
    virtual int getAllocTreeRecordingType() { return allocTreeRecordingType; }
    virtual long long getVmIdentifier() { return vmIdentifier; }
    virtual bool isAllUrls() { return allUrls != 0; }
    virtual int getCallTreeCollectionMethod() { return callTreeCollectionMethod; }
    virtual int getExceptionalCap() { return exceptionalCap; }
    virtual int getExceptionalTimeType() { return exceptionalTimeType; }
    // Array allocations are recorded.
    virtual bool isRecordingArrayAllocs() { return true; }
    // Allocations are being recorded (no heap sub-session here: never).
    virtual bool isAllocRecording() { return false; }
    // The class sub-session (commands 34 and 60); null when there is none.
    virtual ClassProfilingSession *getClassProfilingSession() { return nullptr; }
    // The telemetry (command 22); null while there is none.
    virtual SamplerSession *getSamplerSession() { return nullptr; }

    // Stores the VM start time (microseconds of Counter::getUsec) and derives
    // its wall-clock second; unless forced only the first time.
    void updateVmStartTime(long long usec, bool force);
    // Microseconds of Counter::getUsec at VM start; -1 while unknown.
    long long getVmStartTime() const { return vmStartUsec; }

    // Snapshot header (all fields, version 36; `recorder` writes method 5).
    void writeHeader(DataWriter *writer, bool recorder);
    // Reads a snapshot header into this session: the version, or -1003 for
    // a wrong magic or ID size, -1002 for a newer version, 0 for one of 10
    // or below. Sets the reader's ID width.
    int readHeader(DataReader *reader);
    // ID size and version of the snapshot last read by readHeader.
    int getSnapshotIdSize() const { return snapshotIdSize; }
    int getProtocolVersion() const { return protocolVersion; }
    // Snapshot sessions loaded from a restricted JVMTI carry no whole-heap set.
    bool isRestrictedJvmti() const { return restrictedJvmti11 != 0; }
    // A full JVMTI 1.1 (every VM but those that offer only the restricted one).
    bool isFullJvmti() const { return jvmti11 != 0; }

    int getSessionState() const { return sessionState; }
    void setSessionState(int state) { sessionState = state; }

protected:
    int sessionState;
    unsigned char jvmti11;
    unsigned char restrictedJvmti11;
    std::string vmName;
    std::string vmVersion;
    long long vmStartWallClock;
    unsigned char interfaceKind;
    int allocTreeRecordingType;
    int exceptionalCap;
    int exceptionalTimeType;
    int callTreeCollectionMethod;
    unsigned char allUrls;
    int protocolVersion;
    long long snapshotTimeUsec;
    long long snapshotWallClock;
    long long vmStartUsec;
    int snapshotIdSize;
    long long vmIdentifier;
    // Array allocations were recorded (read from a snapshot header).
    unsigned char snapshotArrayAllocs = 0;
};

#endif
