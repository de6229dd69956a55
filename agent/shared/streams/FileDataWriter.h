#ifndef AGENT_FILEDATAWRITER_H
#define AGENT_FILEDATAWRITER_H

#include <cstdint>
#include <cstdio>

#include "DataWriter.h"

// Writes to a stdio file (kept open by the caller) and keeps a running CRC-32
// of every byte delivered. A short write sets the error flag.
class FileDataWriter : public DataWriter {
public:
    explicit FileDataWriter(FILE *file);
    ~FileDataWriter() override;

    // Flushes and returns the CRC-32 of the bytes since the last reset.
    uint32_t getCRC32();
    // Flushes and restarts the CRC-32.
    void resetCRC32();
    // Flushes and returns the file position.
    long long getPos();
    // Flushes and moves the file position; 0 on success.
    int seek(long long offset, int whence);

protected:
    int mdSend(const void *data, int length) override;

private:
    FILE *file;
    uint32_t crcState;
};

#endif
