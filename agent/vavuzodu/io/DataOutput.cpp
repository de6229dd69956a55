#include "io/DataOutput.h"

#include <cstring>

namespace Tessera {

DataOutput::DataOutput() : buffer(new char[512]), size(0), capacity(512), error(false) {}

DataOutput::~DataOutput() { delete[] buffer; }

void DataOutput::ensure(int extra)
{
    if (size + extra <= capacity)
        return;
    int newCapacity = 2 * capacity > size + extra ? 2 * capacity : size + extra;
    char *grown = new char[newCapacity];
    std::memcpy(grown, buffer, size);
    delete[] buffer;
    buffer = grown;
    capacity = newCapacity;
}

void DataOutput::write(char byte)
{
    ensure(1);
    buffer[size++] = byte;
}

void DataOutput::write(const char *bytes, int n)
{
    if (n <= 0)
        return;
    ensure(n);
    std::memcpy(buffer + size, bytes, n);
    size += n;
}

void DataOutput::writeShort(int v)
{
    ensure(2);
    buffer[size++] = static_cast<char>((v >> 8) & 0xFF);
    buffer[size++] = static_cast<char>(v & 0xFF);
}

void DataOutput::writeInt(int v)
{
    ensure(4);
    unsigned int u = static_cast<unsigned int>(v);
    buffer[size++] = static_cast<char>(u >> 24);
    buffer[size++] = static_cast<char>(u >> 16);
    buffer[size++] = static_cast<char>(u >> 8);
    buffer[size++] = static_cast<char>(u);
}

void DataOutput::writeLong(long long v)
{
    unsigned long long u = static_cast<unsigned long long>(v);
    writeInt(static_cast<int>(u >> 32));
    writeInt(static_cast<int>(u & 0xFFFFFFFFu));
}

bool DataOutput::writeUTF(const char *text, int length)
{
    if (length < 0 || length > 0xFFFF) {
        error = true;
        return false;
    }
    writeShort(length);
    write(text, length);
    return true;
}

void DataOutput::patchShort(int position, int v)
{
    buffer[position] = static_cast<char>((v >> 8) & 0xFF);
    buffer[position + 1] = static_cast<char>(v & 0xFF);
}

} // namespace Tessera
