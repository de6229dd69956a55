#ifndef AGENT_SOCKETDATAREADER_H
#define AGENT_SOCKETDATAREADER_H

#include <chrono>

#include "DataReader.h"

// Reads from a connected socket; the socket stays the caller's.
class SocketDataReader : public DataReader {
public:
    explicit SocketDataReader(int socket) : socket(socket) {}
    ~SocketDataReader() override;

    // Every read from now on must be done within `limitMs` of this call:
    // past it a read fails with one log line, and so does every later one.
    // The serving thread calls it when the first byte of a request is there.
    void startRequest(int limitMs);

protected:
    // recv; an interrupting signal is retried, end of stream, an error or a
    // request past its time limit gives 0 or less.
    int mdRead(void *buffer, int length) override;

private:
    int socket;
    bool limited = false;
    bool expired = false;
    int limitMs = 0;
    std::chrono::steady_clock::time_point deadline;
};

#endif
