#ifndef TESSERA_DATAINPUT_H
#define TESSERA_DATAINPUT_H

namespace Tessera {

// Big-endian reader over bytes it does not own. It never touches a byte outside
// [data, data + size): a read past the end yields 0xFF bytes, does not advance
// and sets the overrun flag, which readers of class files turn into an error.
class DataInput {
public:
    DataInput(const char *data, int size);

    // The next byte as 0-255; 0xFF (and the overrun flag) at the end.
    int read();
    bool readBoolean() { return read() != 0; }
    int readByte() { return read(); }
    int readUnsignedByte() { return read(); }
    int readShort();
    int readUnsignedShort();
    int readInt();
    long long readLong();
    // Copies min(n, remaining) bytes; a short copy sets the overrun flag.
    void readFully(char *dst, int n);
    // Advances by n. Past the end (or n < 0) it stops at the end, sets the overrun
    // flag and returns false.
    bool skipBytes(int n);
    // Reads a u2 length and points *chars at that many bytes in place (no copy, no
    // decoding). When they do not all lie in the input: *chars null, *length 0,
    // overrun flag set, false.
    bool readUTF(const char **chars, int *length);

    int getBytesRead() const { return position; }
    const char *getCurrentPosition() const { return data + position; }
    int getSize() const { return size; }
    int getRemaining() const { return size - position; }
    // Moves to an absolute position within the input (false and overrun flag if outside).
    bool seek(int newPosition);
    bool hasOverrun() const { return overrun; }

private:
    const char *data;
    int position;
    int size;
    bool overrun;
};

} // namespace Tessera

#endif
