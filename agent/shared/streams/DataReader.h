#ifndef AGENT_DATAREADER_H
#define AGENT_DATAREADER_H

#include <cstdint>
#include <vector>

#include "PointerHashMap.h"

// Input stream of the wire and file encoding (see DataWriter). At the end of
// the stream or after a read error `eof` is set, and every typed read returns
// the caller's default from then on. When a snapshot is read, object IDs of
// the stored process can be translated to those of this process
// (enableIDUpdate and the *ID reads). Not thread-safe.
class DataReader {
public:
    DataReader();
    virtual ~DataReader();
    DataReader(const DataReader &) = delete;
    DataReader &operator=(const DataReader &) = delete;

    // One mdRead; the count read.
    int read(void *buffer, int length);
    // Reads until length bytes are in or the stream ends; the count read.
    int readFully(void *buffer, int length);
    int readByte(int def);
    int readU2(int def);
    uint32_t readU4(uint32_t def);
    int32_t readS4(int32_t def);
    long long readJLong(long long def);
    // An object ID of this build's width (pointer size) in host order.
    void *readID(void *def);
    // An ID of the width set by enableIDUpdate (4 or 8), host order,
    // zero-extended; 0 at the end of the stream.
    uint64_t readVarID();
    // A new NUL-terminated copy (delete[] by the caller); def itself at the
    // end of the stream.
    char *readString(char *def);
    bool getError() const { return eof != 0; }
    // 1 while not at the end; subclasses that know their size say how much.
    virtual int available();

    // Discards maps and queues, sets the ID width and, when on, starts a map
    // from stored IDs to the pointers of this process.
    void enableIDUpdate(bool on, int width);
    // Reads a stored ID and records that it now means newPointer.
    void readOldID(void *newPointer);
    // Reads a stored ID and returns the pointer it now means (null when not
    // known yet); without translation, the value read.
    void *readAndUpdateID();
    // Reads a stored ID into *slot; with translation, a known ID is replaced
    // at once and an unknown one is queued until updateIDs().
    void readUpdatableID(void **slot);
    // Resolves every queued slot (null when still unknown) and empties the queue.
    void updateIDs();
    bool is64MapUsed() const { return oldToNew64 != nullptr; }
    PointerHashMap<void, int> *getOldToNewPointer() { return oldToNew32; }
    PointerHashMap<void, long long> *getOldToNewPointer64() { return oldToNew64; }
    int getIDWidth() const { return idWidth; }

protected:
    // Reads up to length bytes; returns the count, 0 or less at the end or
    // on error (the caller then sets eof).
    virtual int mdRead(void *buffer, int length) = 0;
    void setEof() { eof = 1; }
    void clearEof() { eof = 0; }

private:
    struct PendingSlot {
        void **slot;
        uint64_t oldId;
    };
    bool readExactly(void *buffer, int length);
    void *lookup(uint64_t oldId);
    void discardTranslation();

    std::vector<PendingSlot> *pending32;
    PointerHashMap<void, int> *oldToNew32;
    std::vector<PendingSlot> *pending64;
    PointerHashMap<void, long long> *oldToNew64;
    int idWidth;
    unsigned char eof;
};

#endif
