#ifndef AGENT_LIVECOMMUNICATOR_H
#define AGENT_LIVECOMMUNICATOR_H

#include <string>

// The live session's end of the front-end connection on a TCP port.
// This holds the listening socket and a connection; the request loop
// runs in run().
class LiveCommunicator {
public:
    static const unsigned STATUS_CONNECTED = 1;
    static const unsigned STATUS_WAITING = 2;
    static const unsigned STATUS_CLEANED_UP = 3;

    // port 0: no socket transport. address empty: all addresses.
    LiveCommunicator(int port, const std::string &address);
    // Takes over the listening socket of a previous communicator.
    LiveCommunicator(int port, const std::string &address, LiveCommunicator *previous);
    ~LiveCommunicator();
    LiveCommunicator(const LiveCommunicator &) = delete;
    LiveCommunicator &operator=(const LiveCommunicator &) = delete;

    // Makes the listening socket if there is none, accepts one front end and
    // serves it until it disconnects. False when listening failed.
    bool run();
    unsigned getStatus() const { return status; }
    bool hasListenFailed() const { return listenFailed; }
    bool wasConnected() const { return connected; }
    bool shouldExitProcess() const { return exitProcess; }
    bool shouldInterruptProcess() const { return interruptProcess; }

private:
    bool establishListening();
    void serve(int connection);

    int port;
    std::string address;
    int listenSocket;
    volatile unsigned status;
    bool listenFailed;
    bool connected;
    bool exitProcess;
    bool interruptProcess;
};

#endif
