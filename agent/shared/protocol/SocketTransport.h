#ifndef AGENT_SOCKETTRANSPORT_H
#define AGENT_SOCKETTRANSPORT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SocketDataReader.h"
#include "Transport.h"

// A TCP port on which one front end at a time is served; the next ones wait in
// the listening queue. A client says U4 31 and U4 0; we answer U4 0xCAFED00D
// and the protocol version as a string; the client confirms with U4
// 0xCAFED00D. While no front end is served, every client that connects is
// heard at once, each with its own handshake time limit: the first to
// complete the handshake is served, one that says anything else is refused,
// one that is too slow is closed. Once served, a request whose first byte has
// arrived must be complete within the request time limit, or the connection
// is closed. So no client keeps the port longer than one of the two limits.
// The listening socket stays open between front ends.
class SocketTransport : public Transport {
public:
    static const uint32_t MAGIC = 0xCAFED00Du;
    static const uint32_t CLIENT_HELLO = 31;
    static const uint32_t CLIENT_HELLO_VERSION = 0;

    // Called when the listening socket cannot be made, before the failure is
    // reported: where nothing can go on without the port, it ends the process.
    using ListenFailure = void (*)();

    static const int HANDSHAKE_LIMIT_MS = 5000;
    static const int REQUEST_LIMIT_MS = 5000;

    // address: a literal IPv4 or IPv6 address or a name that resolves (its
    // IPv4 address first); the wildcard (0.0.0.0, ::) listens on every
    // interface with a warning line. An empty address, or one that does not
    // convert, is never replaced by another: nothing is listened on.
    // A port outside 1-65535 listens nowhere either. `onListenFailure` may
    // be null.
    SocketTransport(int port, const std::string &address, ListenFailure onListenFailure,
                    int handshakeLimitMs = HANDSHAKE_LIMIT_MS, int requestLimitMs = REQUEST_LIMIT_MS);
    // Closes whatever socket is still open.
    ~SocketTransport() override;
    SocketTransport(const SocketTransport &) = delete;
    SocketTransport &operator=(const SocketTransport &) = delete;

    // Makes the listening socket if needed, then accepts until a client
    // completes the handshake. False when listening or accepting failed.
    bool connect() override;
    // Waits, without a limit, for the first byte of the next request; from
    // then on the request's time limit runs.
    bool nextRequest() override;
    // Closes the connection socket, once.
    void disconnect() override;
    // Closes the connection socket, the clients still in their handshake and
    // the listening socket.
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
    // A client that has connected and not finished its handshake.
    struct PendingClient {
        int socket;
        std::chrono::steady_clock::time_point deadline;
        uint8_t received[12]; // the hello (8 bytes), then the confirmation (4)
        size_t have;
    };
    enum class HandshakeStep { WAITING, DONE, REFUSED };

    // Makes the listening socket; false with the reason logged.
    bool listenOnPort();
    // Takes the next connection from the queue into `pending`. False when
    // accepting failed (logged unless interrupted).
    bool acceptPending();
    // Reads what the client has sent and answers its hello.
    HandshakeStep advanceHandshake(PendingClient &client);
    // Closes the pending clients whose time is up, each with a line.
    void closeExpired();
    // Serves the client on socket `s`.
    void adopt(int s);

    int port;
    std::string address;
    ListenFailure onListenFailure;
    int handshakeLimitMs;
    int requestLimitMs;
    bool listenFailed;
    std::atomic<int> listenSocket;
    std::atomic<bool> interrupted{false};
    int connectionSocket;
    std::vector<PendingClient> pending;
    std::unique_ptr<SocketDataReader> in;
    std::unique_ptr<DataWriter> out;
};

#endif
