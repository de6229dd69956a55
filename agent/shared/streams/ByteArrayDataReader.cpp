#include "ByteArrayDataReader.h"

#include <cstring>

ByteArrayDataReader::~ByteArrayDataReader() = default;

void ByteArrayDataReader::setByteArray(const void *newData, int newSize)
{
    data = static_cast<const unsigned char *>(newData);
    size = newSize;
    position = 0;
    clearEof();
}

bool ByteArrayDataReader::setBack(int count)
{
    if (count < 0 || count > position)
        return false;
    position -= count;
    return true;
}

int ByteArrayDataReader::available()
{
    if (size < 0)
        return 1;
    return size - position;
}

int ByteArrayDataReader::mdRead(void *buffer, int length)
{
    if (size >= 0 && length > size - position)
        return 0;
    memcpy(buffer, data + position, length);
    position += length;
    return length;
}
