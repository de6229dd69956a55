#include "io/DataInput.h"

#include <cstring>

namespace Tessera {

DataInput::DataInput(const char *data, int size) : data(data), position(0), size(size < 0 ? 0 : size), overrun(false) {}

int DataInput::read()
{
    if (position >= size) {
        overrun = true;
        return 0xFF;
    }
    return static_cast<unsigned char>(data[position++]);
}

int DataInput::readShort()
{
    return static_cast<short>(readUnsignedShort());
}

int DataInput::readUnsignedShort()
{
    int high = read();
    return (high << 8) + read();
}

int DataInput::readInt()
{
    unsigned int v = 0;
    for (int i = 0; i < 4; i++)
        v = (v << 8) | static_cast<unsigned int>(read());
    return static_cast<int>(v);
}

long long DataInput::readLong()
{
    unsigned long long high = static_cast<unsigned int>(readInt());
    unsigned long long low = static_cast<unsigned int>(readInt());
    return static_cast<long long>((high << 32) | low);
}

void DataInput::readFully(char *dst, int n)
{
    if (n <= 0)
        return;
    int count = n < size - position ? n : size - position;
    if (count < n)
        overrun = true;
    if (count > 0) {
        std::memcpy(dst, data + position, count);
        position += count;
    }
}

bool DataInput::skipBytes(int n)
{
    if (n < 0 || n > size - position) {
        position = size;
        overrun = true;
        return false;
    }
    position += n;
    return true;
}

bool DataInput::readUTF(const char **chars, int *length)
{
    int n = readUnsignedShort();
    if (overrun || n > size - position) {
        *chars = nullptr;
        *length = 0;
        position = size;
        overrun = true;
        return false;
    }
    *chars = data + position;
    *length = n;
    position += n;
    return true;
}

bool DataInput::seek(int newPosition)
{
    if (newPosition < 0 || newPosition > size) {
        position = size;
        overrun = true;
        return false;
    }
    position = newPosition;
    return true;
}

} // namespace Tessera
