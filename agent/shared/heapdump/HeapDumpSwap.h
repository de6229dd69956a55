#ifndef AGENT_HEAPDUMPSWAP_H
#define AGENT_HEAPDUMPSWAP_H

#include <cstddef>
#include <cstdint>
#include <string>

// The swap file of a heap dump ("ovr"): the static field data of the class
// dumps lives there while the walk runs, at positions handed out by
// reserve(). A private temporary file (mode 0600, under TMPDIR), removed
// when the swap is closed. Every failure is logged once and returned; after
// one the swap stays failed and the dump that uses it must be abandoned.
class HeapDumpSwap {
public:
    HeapDumpSwap();
    virtual ~HeapDumpSwap();
    HeapDumpSwap(const HeapDumpSwap &) = delete;
    HeapDumpSwap &operator=(const HeapDumpSwap &) = delete;

    // Closes the previous file and makes a new empty one; false (logged)
    // when it cannot be made.
    virtual bool create();
    // Takes an open descriptor as the file (owned from now on); `path` is
    // removed on close when not empty.
    virtual void adopt(int fd, const std::string &path);
    // A new zero-filled region of `size` bytes at the end: its position, or
    // -1 on failure.
    virtual long long reserve(size_t size);
    virtual bool writeAt(long long pos, const void *data, size_t size);
    virtual bool readAt(long long pos, void *data, size_t size);
    // Closes and removes the file.
    virtual void deleteTempFile();

    bool failed() const { return hasFailed; }
    const std::string &getPath() const { return path; }

private:
    // Marks the swap failed when `ok` is false; returns `ok`.
    bool check(bool ok);

    int fd;
    std::string path;
    long long end;
    bool hasFailed;
};

#endif
