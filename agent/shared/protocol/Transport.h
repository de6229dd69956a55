#ifndef AGENT_TRANSPORT_H
#define AGENT_TRANSPORT_H

class DataReader;
class DataWriter;

// How a communicator reaches its front end: a TCP socket, a Java thread of the
// agent that hands requests over, or the offline channel. The communicator
// frames requests and replies over whichever transport it is handed; the
// transport outlives the communicators that serve it one connection each.
// Used by the serving thread, except listen().
class Transport {
public:
    virtual ~Transport() = default;

    // Waits for a front end and makes reader() and writer() valid. False when
    // none can come; the reason is logged.
    virtual bool connect() = 0;
    // Makes the next request readable through reader(). False when the peer
    // has no more requests: the connection is over. A stream has always more.
    virtual bool nextRequest() { return true; }
    // Passes on everything written so far. False when it could not be delivered.
    virtual bool flush();
    // Ends the connection and deletes its streams; a listening socket stays
    // for the next front end.
    virtual void disconnect() = 0;
    // Ends the connection and stops listening.
    virtual void shutdown() { disconnect(); }
    // Gets ready for a front end before anyone serves the transport (a socket
    // listens now, so that a front end told we wait can connect at once).
    // False when it could not; the reason is logged.
    virtual bool listen() { return true; }
    // The VM is ending without a front end: a wait for one returns at once
    // (connect() fails without a message) and none comes any more. Any thread.
    virtual void interrupt() {}
    // Another front end can come through this transport after one has gone.
    virtual bool canReconnect() const { return false; }
    // Requests arrive on a stream whose sizes and CRC we acknowledge with a
    // byte each; false when whole requests are handed over.
    virtual bool acknowledges() const = 0;
    // The streams of the connection; null while not connected.
    virtual DataReader *reader() = 0;
    virtual DataWriter *writer() = 0;
};

#endif
