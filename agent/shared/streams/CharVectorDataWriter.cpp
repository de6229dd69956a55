#include "CharVectorDataWriter.h"

CharVectorDataWriter::~CharVectorDataWriter() = default;

int CharVectorDataWriter::mdSend(const void *data, int length)
{
    const char *p = static_cast<const char *>(data);
    bytes.insert(bytes.end(), p, p + length);
    return length;
}
