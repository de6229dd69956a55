#ifndef AGENT_COMMUNICATOR_H
#define AGENT_COMMUNICATOR_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "FrontendCommands.h"

class ByteArrayDataReader;
class DataReader;
class Transport;

// One front-end connection over a transport: reads framed requests, looks
// each command up in the FrontendCommands table and hands it to the owner's
// handler. A request is U4 command, U4 request id and, for commands framed
// with a payload, the payload size three times, an acknowledgement byte from
// us, the CRC-32 of the payload, a second acknowledgement byte and the payload
// (transports that hand over whole requests send no acknowledgements). Every
// reply is the reply header and the handler's bytes, and the end marker after
// a request with a payload. A number nobody answers gets the reply of its
// frame with an empty body. One thread serves a communicator; getStatus() may
// be read from any thread.
class Communicator {
public:
    static constexpr uint32_t STATUS_CONNECTED = 1;
    static constexpr uint32_t STATUS_WAITING = 2;
    static constexpr uint32_t STATUS_CLEANED_UP = 3;

    // Bytes after every reply of a command with a payload.
    static const unsigned char END_MARKER[8];
    // A payload larger than this is refused as a broken request: no command
    // carries more (the largest is a configuration with its script files).
    static constexpr uint32_t MAX_PAYLOAD_SIZE = 64u << 20;
    // Zero bytes a peer sends, then a byte 1, to resynchronise after a broken request.
    static constexpr int RESYNC_ZERO_BYTES = 900;

    // Serves `transport` (not owned; it outlives the communicator) with the
    // commands whose owners are in `owners`; `owners.session` is required.
    Communicator(Transport &transport, const CommandOwners &owners);
    ~Communicator();
    Communicator(const Communicator &) = delete;
    Communicator &operator=(const Communicator &) = delete;

    // Connects, serves until the connection ends, closes the transport's
    // connection (and its listening socket when the front end ends the
    // process) and tells the VM edge. Runs on the serving thread.
    void run();
    // Serves requests until the connection ends or finish() was called.
    void process();
    // Reads, checks and answers one request. A broken request is answered
    // with the refusing acknowledgement and skipped; the end of the stream
    // sets isEnded().
    void processSingle();

    // Requests of the front end, for the command handlers.
    // Stop serving after this request.
    void finish() { finished = true; }
    // Stop serving; the VM edge ends the process once the connection is closed.
    void requestExit() { exitProcess = finished = true; }
    // Stop serving; the VM edge interrupts the process once the connection is closed.
    void requestInterrupt() { interruptProcess = finished = true; }
    // The front end closed the connection.
    void hangUp() { ended = true; }
    // The front end has configured the session: it counts as connected.
    void markConnected() { status = STATUS_CONNECTED; }

    uint32_t getStatus() const { return status; }
    bool isEnded() const { return ended; }
    bool isFinished() const { return finished; }
    // The transport found a front end for this connection.
    bool wasConnected() const { return connected; }
    // The front end sent at least one command over this connection.
    bool hasReceivedCommand() const { return commandReceived; }
    bool shouldExitProcess() const { return exitProcess; }
    bool shouldInterruptProcess() const { return interruptProcess; }
    // Pause after a broken request before recovery begins (1000 ms).
    void setBrokenRequestPause(int ms) { brokenPauseMs = ms; }

private:
    void writeReplyHeader(uint32_t command, uint32_t requestId);
    // Reads the three sizes; false, with the reason logged, when they are broken.
    bool readSize(uint32_t *size);
    // Reads the sizes, CRC and payload of a request and acknowledges them.
    // False when the request is broken (then skipped) or cut short (ended).
    bool readPayload(std::vector<unsigned char> *payload);
    void sendAcknowledge(bool broken);
    void pauseAfterBrokenRequest();
    // Skips bytes up to the resynchronisation pattern or the end of the stream.
    void recover();
    void answerWithPayload(const FrontendCommands::Row *row, uint32_t command, uint32_t requestId,
                           const std::vector<unsigned char> &payload);
    // The one place a request reaches its handler; a command not in the table
    // or whose owner is missing gets nothing written.
    void processCommand(const FrontendCommands::Row *row, DataReader *payload);
    // Passes the reply on and ends the connection when a stream failed.
    void finishRequest();

    Transport &transport;
    CommandOwners owners;
    bool finished;
    bool exitProcess;
    bool interruptProcess;
    bool ended;
    bool connected;
    bool frontendSeen;
    bool commandReceived;
    std::atomic<uint32_t> status;
    std::unique_ptr<ByteArrayDataReader> payloadReader;
    int brokenPauseMs;
};

#endif
