#ifndef AGENT_SOCKETDATAREADER_H
#define AGENT_SOCKETDATAREADER_H

#include "DataReader.h"

// Reads from a connected socket; the socket stays the caller's.
class SocketDataReader : public DataReader {
public:
    explicit SocketDataReader(int socket) : socket(socket) {}
    ~SocketDataReader() override;

protected:
    // recv; an interrupting signal is retried, end of stream or an error
    // gives 0 or less.
    int mdRead(void *buffer, int length) override;

private:
    int socket;
};

#endif
