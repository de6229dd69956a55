#include "OfflineTransport.h"

#include <vector>

#include "CharVectorDataWriter.h"

OfflineTransport::OfflineTransport() = default;

OfflineTransport::~OfflineTransport() = default;

bool OfflineTransport::connect()
{
    replyBuffer.reset();
    if (!JavaThreadTransport::connect())
        return false;
    replyBuffer.reset(new CharVectorDataWriter());
    return true;
}

DataWriter *OfflineTransport::writer()
{
    if (replyBuffer == nullptr)
        return JavaThreadTransport::writer();
    return replyBuffer.get();
}

bool OfflineTransport::flush()
{
    if (replyBuffer == nullptr)
        return JavaThreadTransport::flush();
    DataWriter *javaSide = JavaThreadTransport::writer();
    replyBuffer->flush();
    std::vector<char> &collected = replyBuffer->getBytes();
    if (!collected.empty())
        javaSide->writeBuffered(collected.data(), static_cast<int>(collected.size()));
    javaSide->flush();
    collected.clear();
    // The buffer cannot fail; the Java side can.
    return !javaSide->getError();
}

void OfflineTransport::disconnect()
{
    replyBuffer.reset();
    JavaThreadTransport::disconnect();
}
