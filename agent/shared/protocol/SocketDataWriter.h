#ifndef AGENT_SOCKETDATAWRITER_H
#define AGENT_SOCKETDATAWRITER_H

#include "DataWriter.h"

// Writes to a connected socket; the socket stays the caller's. A peer that has
// gone sets the error flag instead of raising SIGPIPE in the host process.
class SocketDataWriter : public DataWriter {
public:
    explicit SocketDataWriter(int socket) : socket(socket) {}
    ~SocketDataWriter() override;

protected:
    // Sends until every byte is out; retries when a signal interrupts.
    int mdSend(const void *data, int length) override;

private:
    int socket;
};

#endif
