#ifndef AGENT_HEAPLIVEONLYFILE_H
#define AGENT_HEAPLIVEONLYFILE_H

#include <cstdint>
#include <functional>
#include <string>

class CallStackTree;
class ClassData;
class DataReader;

// The live objects of a loaded snapshot whose session built live-object
// trees from the heap on demand: per object its allocation node, its class,
// type code and size. They can be many, so they wait in a private
// temporary file ("ovr" under TMPDIR, mode 0600, removed with this object)
// until a view asks for them.
class HeapLiveOnlyFile {
public:
    // One record of the file, 24 bytes in host order: node pointer, class
    // pointer, U2 type code, two bytes 0, U4 size.
    static const int RECORD_SIZE = 24;
    // Records read back at a time.
    static const int BATCH = 500;

    HeapLiveOnlyFile() = default;
    ~HeapLiveOnlyFile();
    HeapLiveOnlyFile(const HeapLiveOnlyFile &) = delete;
    HeapLiveOnlyFile &operator=(const HeapLiveOnlyFile &) = delete;

    // Copies the records of the stream (byte 1, node ID, class ID, U2 type,
    // U4 size, each; byte 0 ends them) with their IDs resolved by the
    // reader. False when the stream broke; when the file cannot be made or
    // written the records are read past, logged, and nothing is kept.
    bool copyFrom(DataReader *reader);
    // Calls `visit` for each kept record in order; false when the file
    // cannot be read back (logged).
    bool forEach(const std::function<void(CallStackTree *node, ClassData *classData, int type, uint32_t size)> &visit);
    long long getCount() const { return count; }
    const std::string &getPath() const { return path; }

private:
    void discard();

    int fd = -1;
    std::string path;
    long long count = 0;
};

#endif
