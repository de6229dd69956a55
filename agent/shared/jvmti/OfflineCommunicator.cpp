#include "OfflineCommunicator.h"

#include <vector>

#include "CharVectorDataWriter.h"

OfflineCommunicator::OfflineCommunicator(LiveProfilingSession *session, int port)
    : LiveCommunicator(session, 0, std::string(), nullptr), offlinePort(port), realWriter(nullptr), replyBuffer(nullptr)
{
}

OfflineCommunicator::~OfflineCommunicator()
{
    restoreWriter();
}

bool OfflineCommunicator::establishConnection()
{
    if (!LiveCommunicator::establishConnection())
        return false;
    restoreWriter();
    realWriter = writer;
    replyBuffer = new CharVectorDataWriter();
    writer = replyBuffer;
    return true;
}

void OfflineCommunicator::flush()
{
    if (replyBuffer == nullptr) {
        LiveCommunicator::flush();
        return;
    }
    replyBuffer->flush();
    std::vector<char> &collected = replyBuffer->getBytes();
    if (!collected.empty())
        realWriter->writeBuffered(collected.data(), static_cast<int>(collected.size()));
    realWriter->flush();
    collected.clear();
    // The buffer cannot fail; the Java side can: a failed delivery ends the connection.
    if (realWriter->getError())
        ended = 1;
}

bool OfflineCommunicator::processComand(uint32_t command)
{
    return Communicator::processComand(command);
}

void OfflineCommunicator::restoreWriter()
{
    if (replyBuffer == nullptr)
        return;
    writer = realWriter;
    delete replyBuffer;
    replyBuffer = nullptr;
    realWriter = nullptr;
}

void OfflineCommunicator::cleanupConnection()
{
    restoreWriter();
    SocketCommunicator::cleanupConnection();
}
