#ifndef AGENT_DATAWRITER_H
#define AGENT_DATAWRITER_H

#include <cstdint>

// Buffered output stream of the wire and file encoding: integers big-endian,
// JLong high word first, strings as a U2 length and the bytes, object IDs as
// the bytes of the pointer in host order. Output is collected in a 16 KiB
// buffer and delivered by mdSend in packets; in packet mode every packet is
// preceded by byte 1 and its U4 length, and leaving packet mode sends byte 0.
// Writers never stop on an error: they set the error flag, later sends go on,
// and the owner checks getError(). Not thread-safe.
class DataWriter {
public:
    static const int BUFFER_SIZE = 16384;
    // The longest string the U2 length can describe.
    static const int MAX_STRING_LENGTH = 0xFFFF;
    // Bytes of an object ID on this build.
    static const int ID_SIZE = sizeof(void *);

    DataWriter();
    virtual ~DataWriter();
    DataWriter(const DataWriter &) = delete;
    DataWriter &operator=(const DataWriter &) = delete;

    void writeByte(int value);
    void writeU2(int value);
    void writeU4(uint32_t value);
    void writeJLong(long long value);
    // A NUL-terminated text (null writes length 0). Texts longer than
    // MAX_STRING_LENGTH are cut to that many bytes, so that the length and the
    // bytes that follow always agree.
    void writeString(const char *text);
    void writeString(const char *text, int length);
    // The pointer's ID_SIZE bytes in host byte order.
    void writeID(const void *pointer);
    // The first `length` bytes (4 or 8) of the pointer in host byte order.
    void writeID(const void *pointer, int length);
    // A 64-bit identifier, 8 bytes in host byte order.
    void writeID64(long long id);
    // Raw bytes; see the class comment for buffering.
    void writeBuffered(const void *data, int length);
    // Sends the buffered bytes as one packet, if there are any.
    void flush();
    // Flushes, then switches packet framing on or off.
    void setWritePacketSize(bool on);
    bool getError() const { return error != 0; }
    int getBufferedCount() const { return buffered; }

protected:
    // Delivers bytes to the transport; returns the count delivered or a
    // negative value on failure (the caller then sets the error flag).
    virtual int mdSend(const void *data, int length) = 0;
    void setError() { error = 1; }

private:
    void sendPacket(const void *data, int length);
    void deliver(const void *data, int length);

    int buffered;
    unsigned char packetMode;
    unsigned char error;
    unsigned char *buffer;
};

#endif
