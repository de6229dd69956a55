#ifndef AGENT_SOCKETCOMMUNICATOR_H
#define AGENT_SOCKETCOMMUNICATOR_H

#include <string>

#include "Communicator.h"

// A communicator that listens on a TCP port and serves one front end at a
// time. A client says U4 31 and U4 0; we answer U4 0xCAFED00D and the
// protocol version as a string; the client confirms with U4 0xCAFED00D. A
// client that says anything else is refused and the next one accepted.
class SocketCommunicator : public Communicator {
public:
    static const uint32_t MAGIC = 0xCAFED00Du;
    static const uint32_t CLIENT_HELLO = 31;
    static const uint32_t CLIENT_HELLO_VERSION = 0;

    // port 0: no socket transport. address empty: all addresses.
    SocketCommunicator(ProfilingSession *session, int port, const std::string &address);
    // Closes whatever socket is still open.
    ~SocketCommunicator() override;

    // Takes over the listening socket of a previous communicator.
    void inheritListenSocket(SocketCommunicator *previous);
    // Makes the listening socket now, so that a front end told that we wait can
    // connect at once. False when it could not be made (onListenFailure has run).
    bool listenNow();
    // The port actually listened on (useful after binding port 0 in tests); 0 when none.
    int getListenPort() const;

protected:
    // Makes the listening socket if needed, then accepts until a client
    // completes the handshake. False when listening or accepting failed.
    bool establishConnection() override;
    // Closes the connection socket and the listening socket.
    void cleanupConnection() override;
    // Closes the connection socket, once.
    void closeConnection();
    // Makes the listening socket; false with the reason logged.
    bool listenOnPort();
    // Runs the handshake on the accepted socket; false when the client was refused.
    bool handshake();
    // What happens when the listening socket cannot be made: the agent in a VM ends the
    // process; this class marks the connection as failed.
    virtual void onListenFailure();

    int connectionSocket;
    int port;
    int listenSocket;
    std::string address;
};

#endif
