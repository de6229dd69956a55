#include "FileDataReader.h"

#include <cstring>
#include <sys/stat.h>

FileDataReader::FileDataReader(FILE *file) : file(file), block(new unsigned char[BLOCK_SIZE]), blockFill(0), blockPos(0) {}

FileDataReader::~FileDataReader()
{
    delete[] block;
}

int FileDataReader::available()
{
    if (getError())
        return 0;
    long here = ftell(file);
    struct stat st;
    if (here < 0 || fstat(fileno(file), &st) != 0)
        return blockFill - blockPos;
    return static_cast<int>(st.st_size - here) + (blockFill - blockPos);
}

int FileDataReader::mdRead(void *buffer, int length)
{
    if (blockPos == blockFill) {
        blockFill = static_cast<int>(fread(block, 1, BLOCK_SIZE, file));
        blockPos = 0;
        if (blockFill <= 0) {
            blockFill = 0;
            return 0;
        }
    }
    int n = blockFill - blockPos < length ? blockFill - blockPos : length;
    memcpy(buffer, block + blockPos, n);
    blockPos += n;
    return n;
}

int FileDataReader::seek(long long offset)
{
    blockFill = 0;
    blockPos = 0;
    if (offset < 0 || fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0)
        return -1;
    clearEof();
    return 0;
}
