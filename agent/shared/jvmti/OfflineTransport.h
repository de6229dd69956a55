#ifndef AGENT_OFFLINETRANSPORT_H
#define AGENT_OFFLINETRANSPORT_H

#include <memory>

#include "JavaThreadTransport.h"

class CharVectorDataWriter;

// Offline mode: the agent opens no socket; the agent's own Java side hands
// requests over as on the Java-thread transport, and each reply is collected
// whole and passed to the Java side in one piece when the request is done.
class OfflineTransport : public JavaThreadTransport {
public:
    OfflineTransport();
    ~OfflineTransport() override;

    // Opens the Java channel and collects replies from then on.
    bool connect() override;
    // Passes every byte collected since the last flush to the Java side;
    // false when the Java side could not take them.
    bool flush() override;
    void disconnect() override;
    // The reply buffer while connected.
    DataWriter *writer() override;

private:
    std::unique_ptr<CharVectorDataWriter> replyBuffer;
};

#endif
