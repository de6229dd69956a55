#ifndef AGENT_OFFLINECOMMUNICATOR_H
#define AGENT_OFFLINECOMMUNICATOR_H

#include "LiveCommunicator.h"

class CharVectorDataWriter;

// Offline mode: the agent opens no socket; the agent's own Java side hands
// requests over (the Java-thread transport) and each reply is collected
// whole and passed to the Java side in one piece when the request is done.
// Only the commands every communicator knows are answered.
class OfflineCommunicator : public LiveCommunicator {
public:
    // `port` is the one the Java side named; it is remembered, not opened.
    OfflineCommunicator(LiveProfilingSession *session, int port);
    ~OfflineCommunicator() override;

    // Passes every byte collected since the last flush to the Java side.
    void flush() override;
    int getOfflinePort() const { return offlinePort; }

protected:
    // Opens the Java channel, then keeps its writer aside and collects replies.
    bool establishConnection() override;
    bool processComand(uint32_t command) override;
    // Puts the Java writer back; there is no socket to close.
    void cleanupConnection() override;

private:
    void restoreWriter();

    int offlinePort;
    DataWriter *realWriter;
    CharVectorDataWriter *replyBuffer;
};

#endif
