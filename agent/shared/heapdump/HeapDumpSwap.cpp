#include "HeapDumpSwap.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "MessageUtil.h"
#include "TempFiles.h"

namespace {

// Small regions go through one buffer of this size, larger ones through a
// buffer of their own size.
const size_t SWAP_BUFFER = 8192;

bool writeAll(int fd, const char *data, size_t size, long long pos)
{
    while (size > 0) {
        ssize_t n = pwrite(fd, data, size, static_cast<off_t>(pos));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        pos += n;
    }
    return true;
}

bool readAll(int fd, char *data, size_t size, long long pos)
{
    while (size > 0) {
        ssize_t n = pread(fd, data, size, static_cast<off_t>(pos));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        pos += n;
    }
    return true;
}

} // namespace

HeapDumpSwap::HeapDumpSwap() : fd(-1), end(0), hasFailed(false)
{
}

HeapDumpSwap::~HeapDumpSwap()
{
    deleteTempFile();
}

bool HeapDumpSwap::create()
{
    deleteTempFile();
    std::string name;
    int created = TempFiles::createFile("ovr", name);
    if (created < 0) {
        MessageUtil::message("Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
        hasFailed = true;
        return false;
    }
    adopt(created, name);
    return true;
}

void HeapDumpSwap::adopt(int descriptor, const std::string &name)
{
    deleteTempFile();
    fd = descriptor;
    path = name;
    end = 0;
    hasFailed = false;
}

bool HeapDumpSwap::check(bool ok)
{
    if (!ok)
        hasFailed = true;
    return ok;
}

long long HeapDumpSwap::reserve(size_t size)
{
    if (hasFailed || fd < 0)
        return -1;
    static const std::vector<char> small(SWAP_BUFFER, 0);
    std::vector<char> large;
    if (size > SWAP_BUFFER)
        large.assign(size, 0);
    const char *zeros = size > SWAP_BUFFER ? large.data() : small.data();
    if (!check(writeAll(fd, zeros, size, end))) {
        MessageUtil::message("Could not write tmp file %s. Aborting. Please check your TMP and TMPDIR environment "
                             "variables.",
                             path.c_str());
        return -1;
    }
    long long pos = end;
    end += static_cast<long long>(size);
    return pos;
}

bool HeapDumpSwap::writeAt(long long pos, const void *data, size_t size)
{
    if (hasFailed || fd < 0)
        return false;
    if (pos < 0 || pos + static_cast<long long>(size) > end) {
        hasFailed = true;
        MessageUtil::message("Could not seek tmp file to pos %lld. Aborting.  Please check your TMP and TMPDIR "
                             "environment variables.",
                             pos);
        return false;
    }
    if (!check(writeAll(fd, static_cast<const char *>(data), size, pos))) {
        MessageUtil::message("Could not write tmp file %s. Aborting. Please check your TMP and TMPDIR environment "
                             "variables.",
                             path.c_str());
        return false;
    }
    return true;
}

bool HeapDumpSwap::readAt(long long pos, void *data, size_t size)
{
    if (hasFailed || fd < 0)
        return false;
    if (pos < 0 || pos + static_cast<long long>(size) > end) {
        hasFailed = true;
        MessageUtil::message("Could not seek tmp file to pos %lld. Aborting.  Please check your TMP and TMPDIR "
                             "environment variables.",
                             pos);
        return false;
    }
    if (!check(readAll(fd, static_cast<char *>(data), size, pos))) {
        MessageUtil::message("Could not read tmp file %s. Aborting.  Please check your TMP and TMPDIR environment "
                             "variables.",
                             path.c_str());
        return false;
    }
    return true;
}

void HeapDumpSwap::deleteTempFile()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
    if (!path.empty())
        unlink(path.c_str());
    path.clear();
    end = 0;
}
