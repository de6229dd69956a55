#include "FileDataWriter.h"

#include "Crc32.h"

FileDataWriter::FileDataWriter(FILE *file) : file(file)
{
    Crc32::clearCRC32(&crcState);
}

FileDataWriter::~FileDataWriter() = default;

uint32_t FileDataWriter::getCRC32()
{
    flush();
    uint32_t crc;
    Crc32::getCRC32(&crc, crcState);
    return crc;
}

void FileDataWriter::resetCRC32()
{
    flush();
    Crc32::clearCRC32(&crcState);
}

long long FileDataWriter::getPos()
{
    flush();
    return static_cast<long long>(ftello(file));
}

int FileDataWriter::seek(long long offset, int whence)
{
    flush();
    return fseeko(file, static_cast<off_t>(offset), whence);
}

int FileDataWriter::mdSend(const void *data, int length)
{
    size_t written = fwrite(data, 1, length, file);
    Crc32::addCrc32b(&crcState, data, written);
    if (written != static_cast<size_t>(length))
        setError();
    return static_cast<int>(written);
}
