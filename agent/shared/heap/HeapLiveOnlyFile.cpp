#include "HeapLiveOnlyFile.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "DataReader.h"
#include "MessageUtil.h"
#include "TempFiles.h"

namespace {

bool writeAll(int fd, const unsigned char *data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

HeapLiveOnlyFile::~HeapLiveOnlyFile()
{
    discard();
}

void HeapLiveOnlyFile::discard()
{
    if (fd >= 0)
        close(fd);
    if (!path.empty())
        unlink(path.c_str());
    fd = -1;
    path.clear();
    count = 0;
}

bool HeapLiveOnlyFile::copyFrom(DataReader *reader)
{
    discard();
    fd = TempFiles::createFile("ovr", path);
    if (fd < 0)
        MessageUtil::message("Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
    bool writing = fd >= 0;
    unsigned char batch[BATCH * RECORD_SIZE];
    int inBatch = 0;
    auto flush = [&]() {
        if (writing && inBatch > 0 && !writeAll(fd, batch, static_cast<size_t>(inBatch) * RECORD_SIZE)) {
            MessageUtil::message("Could not copy allocation tree data to temp file.");
            writing = false;
        }
        inBatch = 0;
    };
    while (reader->readByte(0) == 1) {
        void *node = reader->readAndUpdateID();
        void *classData = reader->readAndUpdateID();
        uint16_t type = static_cast<uint16_t>(reader->readU2(0));
        uint32_t size = reader->readU4(0);
        if (reader->getError())
            break;
        unsigned char *record = batch + inBatch * RECORD_SIZE;
        uint64_t nodeBits = reinterpret_cast<uintptr_t>(node);
        uint64_t classBits = reinterpret_cast<uintptr_t>(classData);
        memcpy(record, &nodeBits, 8);
        memcpy(record + 8, &classBits, 8);
        memcpy(record + 16, &type, 2);
        memset(record + 18, 0, 2);
        memcpy(record + 20, &size, 4);
        count++;
        if (++inBatch == BATCH)
            flush();
    }
    flush();
    if (!writing)
        discard();
    return !reader->getError();
}

bool HeapLiveOnlyFile::forEach(const std::function<void(CallStackTree *, ClassData *, int, uint32_t)> &visit)
{
    if (fd < 0 || count == 0)
        return true;
    if (lseek(fd, 0, SEEK_SET) != 0) {
        MessageUtil::message("Could not seek tmp file");
        return false;
    }
    unsigned char batch[BATCH * RECORD_SIZE];
    long long left = count;
    while (left > 0) {
        size_t want = static_cast<size_t>(left < BATCH ? left : BATCH) * RECORD_SIZE;
        size_t have = 0;
        while (have < want) {
            ssize_t n = read(fd, batch + have, want - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                MessageUtil::message("Could not seek tmp file");
                return false;
            }
            have += static_cast<size_t>(n);
        }
        for (size_t at = 0; at < want; at += RECORD_SIZE) {
            uint64_t nodeBits;
            uint64_t classBits;
            uint16_t type;
            uint32_t size;
            memcpy(&nodeBits, batch + at, 8);
            memcpy(&classBits, batch + at + 8, 8);
            memcpy(&type, batch + at + 16, 2);
            memcpy(&size, batch + at + 20, 4);
            visit(reinterpret_cast<CallStackTree *>(static_cast<uintptr_t>(nodeBits)),
                  reinterpret_cast<ClassData *>(static_cast<uintptr_t>(classBits)), type, size);
        }
        left -= static_cast<long long>(want / RECORD_SIZE);
    }
    return true;
}
