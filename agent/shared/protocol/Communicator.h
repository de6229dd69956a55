#ifndef AGENT_COMMUNICATOR_H
#define AGENT_COMMUNICATOR_H

#include <cstdint>

class ByteArrayDataReader;
class DataReader;
class DataWriter;
class ProfilingSession;

// One front-end connection: reads framed requests from `reader`, answers through
// `writer` and hands each request to the class that owns the command. A
// request is U4 command, U4 request id and, except for commands 0, 2 and 76,
// the payload size three times, an acknowledgement byte from us, the CRC-32 of
// the payload, a second acknowledgement byte and the payload (transports that
// hand over whole requests send no acknowledgements). Every reply is the reply
// header, the handler's bytes and END_MARKER. Subclasses supply the transport.
// One thread serves a communicator.
class Communicator {
public:
    enum Command {
        CMD_CLOSE = 0,
        CMD_SET_PARAMETERS = 1,
        CMD_ID_WIDTH = 2,
        CMD_EXPAND_INVOCATION_NODE = 9,
        CMD_EXPAND_HOTSPOT_NODE = 10,
        CMD_THREAD_DESCRIPTIONS = 11,
        CMD_FORCE_GC = 30,
        CMD_STOP = 23,
        CMD_SET_VIEW_FILTER = 34,
        CMD_MONITOR_USAGE_HISTORY = 35,
        CMD_MONITOR_USAGE_CURRENT = 36,
        CMD_MONITOR_USAGE_STATS = 37,
        CMD_SET_RECORD_CPU = 38,
        CMD_INVOCATION_TREE_UPDATE = 41,
        CMD_HOTSPOT_TREE_UPDATE = 42,
        CMD_GET_STATE = 44,
        CMD_METHOD_GRAPH = 50,
        CMD_GET_PARAMETERS = 45,
        CMD_EXIT = 46,
        CMD_INTERRUPT = 48,
        CMD_ANNOTATION_HOTSPOT_UPDATE = 57,
        CMD_GET_VM_STATE = 59,
        CMD_GET_CLASSES = 60,
        CMD_THREAD_PROFILING = 61,
        CMD_HPROF_DUMP = 63,
        CMD_SET_TRACE_RECORD = 64,
        CMD_GET_TRACES = 65,
        CMD_ENABLE_TRIGGERS = 66,
        CMD_ENABLE_TRIGGER_GROUPS = 67,
        CMD_SET_RECORD_METHOD_STATISTICS = 71,
        CMD_GET_METHOD_STATISTICS = 72,
        CMD_SET_RECORD_MONITORS = 73,
        CMD_THREAD_DUMP = 74,
        CMD_GET_MONITOR_ID = 75,
        CMD_LOAD_INFO = 76,
        CMD_LOAD_INFO_WITH_PAYLOAD = 77,
        CMD_GET_EXECUTION_SITES = 79,
    };

    static const uint32_t STATUS_CONNECTED = 1;
    static const uint32_t STATUS_WAITING = 2;
    static const uint32_t STATUS_CLEANED_UP = 3;

    // Bytes after every reply of a command with a payload.
    static const unsigned char END_MARKER[8];
    // A payload larger than this is refused as a broken request: no command
    // carries more (the largest is a configuration with its script files).
    static const uint32_t MAX_PAYLOAD_SIZE = 64u << 20;
    // Zero bytes a peer sends, then a byte 1, to resynchronise after a broken request.
    static const int RESYNC_ZERO_BYTES = 900;

    explicit Communicator(ProfilingSession *session);
    virtual ~Communicator();
    Communicator(const Communicator &) = delete;
    Communicator &operator=(const Communicator &) = delete;

    // Connects (unless already connected), serves until the connection ends
    // and cleans up. Runs on the serving thread.
    void run();
    // Serves requests until the connection ends or finish() was called.
    // False when a dispatcher said to stop at once.
    virtual bool process();
    // Reads, checks and runs one request. False when the dispatcher said to
    // stop at once; a broken request or the end of the stream returns true
    // (the latter with `ended` set).
    bool processSingle();
    void finish() { finished = 1; }
    uint32_t getStatus() const { return status; }
    // Flushes the writer; called after every request, so that a transport
    // that collects a reply passes it on whole here.
    virtual void flush();

    bool isEnded() const { return ended != 0; }
    bool isFinished() const { return finished != 0; }
    bool hasListenFailed() const { return listenFailed != 0; }
    bool shouldExitProcess() const { return exitProcess != 0; }
    bool shouldInterruptProcess() const { return interruptProcess != 0; }
    // Pause after a broken request before recovery begins (1000 ms).
    void setBrokenRequestPause(int ms) { brokenPauseMs = ms; }

protected:
    // Runs one request whose payload `reader` reads; replies through `writer`.
    // Unknown commands write nothing. False stops serving at once.
    virtual bool processComand(uint32_t command);
    virtual void cleanupConnection() = 0;
    virtual bool establishConnection() = 0;
    // Replaces the transport's streams (owned from then on); null deletes them.
    void setStreams(DataReader *newReader, DataWriter *newWriter);
    void writeReplyHeader(uint32_t command, uint32_t requestId);

    unsigned char finished;
    unsigned char exitProcess;
    unsigned char interruptProcess;
    unsigned char ended;
    unsigned char listenFailed;
    unsigned char acknowledge;
    volatile uint32_t status;
    DataWriter *writer;
    DataReader *reader;
    ProfilingSession *session;
    ByteArrayDataReader *payloadReader;

private:
    // Reads the three sizes; 0 and the size, or 1 when broken.
    bool readSize(uint32_t *size);
    void sendAcknowledge(bool broken);
    void recover();
    void pauseAfterBrokenRequest();
    bool executeRequest(uint32_t command, uint32_t requestId, const unsigned char *payload, uint32_t size);

    int brokenPauseMs;
};

#endif
