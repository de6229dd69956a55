#ifndef AGENT_HEAPDUMPFILE_H
#define AGENT_HEAPDUMPFILE_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

class DataWriter;
class FileDataWriter;

// The dump file ("jhd"): a private temporary file (mode 0600, under TMPDIR)
// written through a FileDataWriter that keeps its CRC-32, then handed to the
// front end by path or by value, or copied into a snapshot. One dump file is
// kept; starting a new dump removes the previous one unless temporary files
// are kept.
class HeapDumpFile {
public:
    static const int COPY_CHUNK = 20480;

    explicit HeapDumpFile(bool keepTemp);
    virtual ~HeapDumpFile();
    HeapDumpFile(const HeapDumpFile &) = delete;
    HeapDumpFile &operator=(const HeapDumpFile &) = delete;

    // Drops the previous dump and opens a new empty file; the writer for its
    // records, or null (logged) when no file could be made.
    virtual FileDataWriter *begin();
    // Ends the dump begun last: on success the file becomes the current dump
    // (marked new); on a write error it is logged and removed. Returns
    // whether the dump is usable.
    virtual bool finish();
    // Drops a dump that was begun but is not wanted (a failed walk).
    virtual void abandon();
    // Makes the file `source` (written by someone else, e.g. the VM's own
    // heap dumper) the current dump: it is made private, moved to a new
    // dump file name and its size and CRC-32 are taken. On failure (logged)
    // `source` is removed and there is no dump.
    virtual bool takeFile(const std::string &source);

    bool hasDump() const { return file != nullptr && writer == nullptr; }
    const std::string &getPath() const { return path; }
    uint32_t getCRC32() const { return crc; }
    long long getSize() const { return size; }
    // Answers and clears the mark of a new dump (the VM state poll; any thread).
    bool hasNewHeapdump();

    // The reply of the dump command for the current dump: U4 0 without one;
    // with `sendPath` U4 2 and the path (the file stays private to the
    // agent's user); else U4 1, JLong size, the bytes in chunks of
    // COPY_CHUNK and U4 the CRC-32. The file is kept until the next dump, so
    // that it can be sent again. False when U4 0 was sent or the copy failed.
    virtual bool send(DataWriter *out, bool sendPath);
    // Copies the current dump's bytes (nothing without one); after a read
    // error the rest is zeros and false is returned.
    virtual bool copyTo(DataWriter *out);
    // Closes and removes the current dump file.
    virtual void deleteTempFile();

private:
    void closeAndRemove();

    bool keepTemp;
    FILE *file;
    FileDataWriter *writer;
    std::string path;
    uint32_t crc;
    long long size;
    std::atomic<bool> isNew;
};

#endif
