#ifndef AGENT_SOCKETTRANSPORT_H
#define AGENT_SOCKETTRANSPORT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Transport.h"

// A TCP port on which one front end at a time connects; the next ones wait in
// the listening queue. A client says U4 31 and U4 0; we answer U4 0xCAFED00D
// and the protocol version as a string; the client confirms with U4
// 0xCAFED00D. A client that says anything else, or not all of it within the
// handshake's time limit, is refused and the next one accepted. The listening
// socket stays open between front ends.
class SocketTransport : public Transport {
public:
    static const uint32_t MAGIC = 0xCAFED00Du;
    static const uint32_t CLIENT_HELLO = 31;
    static const uint32_t CLIENT_HELLO_VERSION = 0;

    // Called when the listening socket cannot be made, before the failure is
    // reported: where nothing can go on without the port, it ends the process.
    using ListenFailure = void (*)();

    static const int HANDSHAKE_LIMIT_MS = 5000;

    // address empty: every IPv4 address; else a literal IPv4 or IPv6 address
    // or a name that resolves (its IPv4 address first). An address that does
    // not convert is never replaced by another: nothing is listened on.
    // A port outside 1-65535 listens nowhere either. `onListenFailure` may
    // be null.
    SocketTransport(int port, const std::string &address, ListenFailure onListenFailure,
                    int handshakeLimitMs = HANDSHAKE_LIMIT_MS);
    // Closes whatever socket is still open.
    ~SocketTransport() override;
    SocketTransport(const SocketTransport &) = delete;
    SocketTransport &operator=(const SocketTransport &) = delete;

    // Makes the listening socket if needed, then accepts until a client
    // completes the handshake. False when listening or accepting failed.
    bool connect() override;
    // Closes the connection socket, once.
    void disconnect() override;
    // Closes the connection socket and the listening socket.
    void shutdown() override;
    // Makes the listening socket now, unless it exists. False when it could
    // not be made (onListenFailure has run).
    bool listen() override;
    // Wakes a blocked accept by shutting the listening socket down.
    void interrupt() override;
    // True until the listening socket could not be made or the VM ends.
    bool canReconnect() const override { return !listenFailed && !interrupted; }
    bool acknowledges() const override { return true; }
    DataReader *reader() override { return in.get(); }
    DataWriter *writer() override { return out.get(); }

private:
    // Makes the listening socket; false with the reason logged.
    bool listenOnPort();
    // Runs the handshake on the accepted socket; false when the client was refused.
    bool handshake();

    int port;
    std::string address;
    ListenFailure onListenFailure;
    int handshakeLimitMs;
    bool listenFailed;
    std::atomic<int> listenSocket;
    std::atomic<bool> interrupted{false};
    int connectionSocket;
    std::unique_ptr<DataReader> in;
    std::unique_ptr<DataWriter> out;
};

#endif
