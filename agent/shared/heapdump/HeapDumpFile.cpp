#include "HeapDumpFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Crc32.h"
#include "DataWriter.h"
#include "FileDataWriter.h"
#include "MessageUtil.h"
#include "TempFiles.h"

HeapDumpFile::HeapDumpFile(bool keepTemp)
    : keepTemp(keepTemp), file(nullptr), writer(nullptr), crc(0), size(0), isNew(false)
{
}

HeapDumpFile::~HeapDumpFile()
{
    delete writer;
    writer = nullptr;
    if (file != nullptr)
        fclose(file);
    if (!keepTemp && !path.empty())
        unlink(path.c_str());
}

void HeapDumpFile::closeAndRemove()
{
    delete writer;
    writer = nullptr;
    if (file != nullptr)
        fclose(file);
    file = nullptr;
    if (!path.empty()) {
        if (keepTemp)
            MessageUtil::message("Keeping temp snapshot %s", path.c_str());
        else
            unlink(path.c_str());
    }
    path.clear();
    isNew = false;
    size = 0;
    crc = 0;
}

FileDataWriter *HeapDumpFile::begin()
{
    closeAndRemove();
    std::string name;
    int fd = TempFiles::createFile("jhd", name);
    if (fd < 0) {
        MessageUtil::message("Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
        return nullptr;
    }
    file = fdopen(fd, "w+b");
    if (file == nullptr) {
        close(fd);
        unlink(name.c_str());
        MessageUtil::message("Could not create temp file %s.  Please check your TMP and TMPDIR environment variables.",
                             name.c_str());
        return nullptr;
    }
    path = name;
    writer = new FileDataWriter(file);
    return writer;
}

bool HeapDumpFile::finish()
{
    if (writer == nullptr)
        return false;
    writer->flush();
    bool failed = writer->getError() || fflush(file) != 0;
    if (failed) {
        MessageUtil::message("Could not write temp file %s. Maybe your disk is full.", path.c_str());
        MessageUtil::message("Please check your TMP and TMPDIR environment variables.");
        closeAndRemove();
        return false;
    }
    crc = writer->getCRC32();
    size = writer->getPos();
    delete writer;
    writer = nullptr;
    fseeko(file, 0, SEEK_SET);
    isNew = true;
    return true;
}

void HeapDumpFile::abandon()
{
    closeAndRemove();
}

bool HeapDumpFile::takeFile(const std::string &source)
{
    closeAndRemove();
    std::string name;
    int fd = TempFiles::createFile("jhd", name);
    if (fd < 0) {
        MessageUtil::message("Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
        unlink(source.c_str());
        return false;
    }
    close(fd);
    // Private before it moves to where others can see its name.
    if (chmod(source.c_str(), 0600) != 0 || rename(source.c_str(), name.c_str()) != 0 ||
        (file = fopen(name.c_str(), "r+b")) == nullptr) {
        MessageUtil::message("Could not open temp file %s.  Please check your TMP and TMPDIR environment variables.",
                             name.c_str());
        unlink(source.c_str());
        unlink(name.c_str());
        return false;
    }
    path = name;
    uint32_t state;
    Crc32::clearCRC32(&state);
    std::vector<char> chunk(COPY_CHUNK);
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        Crc32::addCrc32b(&state, chunk.data(), got);
        size += static_cast<long long>(got);
    }
    if (ferror(file)) {
        MessageUtil::message("ERROR: Could not read tmp file.");
        closeAndRemove();
        return false;
    }
    Crc32::getCRC32(&crc, state);
    fseeko(file, 0, SEEK_SET);
    isNew = true;
    return true;
}

bool HeapDumpFile::hasNewHeapdump()
{
    return isNew.exchange(false);
}

bool HeapDumpFile::copyTo(DataWriter *out)
{
    if (!hasDump())
        return true;
    std::vector<char> chunk(COPY_CHUNK);
    long long left = size;
    bool readable = fseeko(file, 0, SEEK_SET) == 0;
    if (!readable)
        MessageUtil::message("ERROR: Could not read tmp file.");
    while (left > 0) {
        size_t want = left < COPY_CHUNK ? static_cast<size_t>(left) : COPY_CHUNK;
        size_t got = readable ? fread(chunk.data(), 1, want, file) : 0;
        if (got != want && readable) {
            MessageUtil::message("ERROR: Could not read tmp file.");
            readable = false;
        }
        // After a read error the rest is sent as zeros, so that the reader
        // still gets the announced length and rejects the bytes by their CRC.
        if (got != want)
            std::fill(chunk.begin() + static_cast<long>(got), chunk.begin() + static_cast<long>(want), 0);
        out->writeBuffered(chunk.data(), static_cast<int>(want));
        left -= static_cast<long long>(want);
    }
    return readable;
}

bool HeapDumpFile::send(DataWriter *out, bool sendPath)
{
    if (!hasDump()) {
        out->writeU4(0);
        return false;
    }
    if (sendPath) {
        // The file keeps mode 0600: it holds the whole heap.
        out->writeU4(2);
        out->writeString(path.c_str());
        return true;
    }
    out->writeU4(1);
    out->writeJLong(size);
    bool copied = copyTo(out);
    out->writeU4(crc);
    // The file stays until the next dump so that it can be sent again.
    return copied;
}

void HeapDumpFile::deleteTempFile()
{
    closeAndRemove();
}
