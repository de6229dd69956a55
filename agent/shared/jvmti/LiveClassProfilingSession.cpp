#include "LiveClassProfilingSession.h"

#include "DataWriter.h"

void LiveClassProfilingSession::updateConfig(const SessionConfig *, const SessionConfig *, DataWriter *writer, JNIEnv *)
{
    if (writer == nullptr)
        return;
    writer->writeU4(0);
    writer->writeByte(0);
    writer->writeByte(1);
}
