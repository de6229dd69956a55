#ifndef AGENT_BYTEARRAYDATAREADER_H
#define AGENT_BYTEARRAYDATAREADER_H

#include "DataReader.h"

// Reads a caller-owned byte array of `size` bytes (-1: unbounded, the caller
// guarantees the bytes). Reading past a bounded end sets eof and delivers
// nothing.
class ByteArrayDataReader : public DataReader {
public:
    ByteArrayDataReader(const void *data, int size) : data(static_cast<const unsigned char *>(data)), size(size), position(0) {}
    ~ByteArrayDataReader() override;

    // Re-points the reader and rewinds it; the end-of-stream flag is cleared.
    void setByteArray(const void *newData, int newSize);
    // Moves the position back by count bytes; false (nothing moves) when
    // count exceeds the position.
    bool setBack(int count);
    int getPosition() const { return position; }
    // Bytes left (size − position); 1 for an unbounded array.
    int available() override;

protected:
    int mdRead(void *buffer, int length) override;

private:
    const unsigned char *data;
    int size;
    int position;
};

#endif
