#include "DataWriter.h"

#include <cstring>

DataWriter::DataWriter() : buffered(0), packetMode(0), error(0), buffer(new unsigned char[BUFFER_SIZE]) {}

DataWriter::~DataWriter()
{
    delete[] buffer;
}

void DataWriter::writeByte(int value)
{
    unsigned char b = static_cast<unsigned char>(value);
    writeBuffered(&b, 1);
}

void DataWriter::writeU2(int value)
{
    unsigned char b[2] = {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    writeBuffered(b, 2);
}

void DataWriter::writeU4(uint32_t value)
{
    unsigned char b[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                          static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    writeBuffered(b, 4);
}

void DataWriter::writeJLong(long long value)
{
    uint64_t v = static_cast<uint64_t>(value);
    writeU4(static_cast<uint32_t>(v >> 32));
    writeU4(static_cast<uint32_t>(v));
}

void DataWriter::writeString(const char *text)
{
    writeString(text, text != nullptr ? static_cast<int>(strnlen(text, MAX_STRING_LENGTH + 1)) : 0);
}

void DataWriter::writeString(const char *text, int length)
{
    if (text == nullptr || length < 0)
        length = 0;
    if (length > MAX_STRING_LENGTH)
        length = MAX_STRING_LENGTH;
    writeU2(length);
    if (length > 0)
        writeBuffered(text, length);
}

void DataWriter::writeID(const void *pointer)
{
    writeBuffered(&pointer, ID_SIZE);
}

void DataWriter::writeID(const void *pointer, int length)
{
    uint64_t value = reinterpret_cast<uintptr_t>(pointer);
    if (length == 4) {
        uint32_t low = static_cast<uint32_t>(value);
        writeBuffered(&low, 4);
    } else {
        writeBuffered(&value, 8);
    }
}

void DataWriter::writeID64(long long id)
{
    writeBuffered(&id, 8);
}

void DataWriter::writeBuffered(const void *data, int length)
{
    if (length <= 0)
        return;
    if (buffered + length > BUFFER_SIZE)
        flush();
    if (length > BUFFER_SIZE) {
        sendPacket(data, length);
        return;
    }
    memcpy(buffer + buffered, data, length);
    buffered += length;
}

void DataWriter::flush()
{
    if (buffered == 0)
        return;
    int count = buffered;
    buffered = 0;
    sendPacket(buffer, count);
}

void DataWriter::setWritePacketSize(bool on)
{
    flush();
    if (packetMode && !on) {
        unsigned char end = 0;
        deliver(&end, 1);
    }
    packetMode = on ? 1 : 0;
}

void DataWriter::sendPacket(const void *data, int length)
{
    if (packetMode) {
        uint32_t n = static_cast<uint32_t>(length);
        unsigned char header[5] = {1, static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                                   static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
        deliver(header, sizeof header);
    }
    deliver(data, length);
}

void DataWriter::deliver(const void *data, int length)
{
    if (mdSend(data, length) < 0)
        error = 1;
}
