#ifndef AGENT_FILEDATAREADER_H
#define AGENT_FILEDATAREADER_H

#include <cstdio>

#include "DataReader.h"

// Reads back a stdio file (kept open by the caller) in blocks of 8192 bytes.
class FileDataReader : public DataReader {
public:
    static const int BLOCK_SIZE = 8192;

    explicit FileDataReader(FILE *file);
    ~FileDataReader() override;

    // Bytes left: those buffered plus those after the file position.
    int available() override;
    // Moves to `offset` from the start of the file (64-bit), dropping the
    // buffered block and any end-of-stream state; 0 on success.
    int seek(long long offset);

protected:
    int mdRead(void *buffer, int length) override;

private:
    FILE *file;
    unsigned char *block;
    int blockFill;
    int blockPos;
};

#endif
