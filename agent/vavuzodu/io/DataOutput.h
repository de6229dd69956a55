#ifndef TESSERA_DATAOUTPUT_H
#define TESSERA_DATAOUTPUT_H

namespace Tessera {

// Big-endian writer into a growing buffer that it owns (512 bytes at first,
// doubling). It has one failure: a text too long for its u2 length prefix, which
// is refused and sets the error flag.
class DataOutput {
public:
    DataOutput();
    ~DataOutput();
    DataOutput(const DataOutput &) = delete;
    DataOutput &operator=(const DataOutput &) = delete;

    void write(char byte);
    // Nothing when n <= 0.
    void write(const char *bytes, int n);
    void writeBoolean(bool v) { write(static_cast<char>(v ? 1 : 0)); }
    void writeByte(int v) { write(static_cast<char>(v)); }
    // (v >> 8) & 0xFF, then v & 0xFF.
    void writeShort(int v);
    void writeInt(int v);
    void writeLong(long long v);
    // u2 length then the bytes. More than 65,535 bytes cannot be described by the
    // prefix: nothing is written, the error flag is set and false returned.
    bool writeUTF(const char *text, int length);

    const char *getBuffer() const { return buffer; }
    int getSize() const { return size; }
    int getCapacity() const { return capacity; }
    bool hasError() const { return error; }
    // Overwrites two bytes already written at position (for lengths known late).
    void patchShort(int position, int v);

private:
    void ensure(int extra);

    char *buffer;
    int size;
    int capacity;
    bool error;
};

} // namespace Tessera

#endif
