#include "SnapshotLoadData.h"

#include <cerrno>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "CallStackTree.h"
#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "DataWriter.h"
#include "GzFileDataReader.h"
#include "HeapProfilingSession.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "TempFiles.h"

namespace {

bool writeAll(int fd, const char *data, size_t length)
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

// One pair of the reader's map: the stored ID and the object it now means.
struct Pair {
    long long oldId;
    const void *object;
};

std::vector<Pair> pairsOf(GzFileDataReader *reader)
{
    std::vector<Pair> pairs;
    if (reader->is64MapUsed()) {
        PHMIterator<void, long long> it(reader->getOldToNewPointer64());
        while (PHMEntry<void, long long> *e = it.nextPHMEntry())
            pairs.push_back({e->getKey(), e->getValue()});
    } else if (reader->getOldToNewPointer() != nullptr) {
        PHMIterator<void, int> it(reader->getOldToNewPointer());
        while (PHMEntry<void, int> *e = it.nextPHMEntry())
            pairs.push_back({static_cast<long long>(static_cast<uint32_t>(e->getKey())), e->getValue()});
    }
    return pairs;
}

void writeOldId(DataWriter *writer, GzFileDataReader *reader, long long oldId)
{
    if (reader->is64MapUsed())
        writer->writeID64(oldId);
    else
        writer->writeID(reinterpret_cast<const void *>(static_cast<uintptr_t>(static_cast<uint32_t>(oldId))), 4);
}

} // namespace

std::string SnapshotLoadData::copyRest(GzFileDataReader *reader)
{
    std::string path;
    int fd = TempFiles::createFile("jfd", path);
    if (fd < 0) {
        MessageUtil::message("ERROR: Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
        return std::string();
    }
    std::vector<char> chunk(COPY_CHUNK);
    bool ok = true;
    int n;
    while (ok && (n = reader->read(chunk.data(), COPY_CHUNK)) > 0)
        ok = writeAll(fd, chunk.data(), static_cast<size_t>(n));
    ok = close(fd) == 0 && ok;
    if (!ok) {
        MessageUtil::message("ERROR: could not write frontend data temp file");
        unlink(path.c_str());
        return std::string();
    }
    return path;
}

std::string SnapshotLoadData::writeLoadData(DataWriter *writer, int readResult, GzFileDataReader *reader, const SnapshotSources &loaded)
{
    std::string path;
    writer->writeU4(static_cast<uint32_t>(readResult));
    if (reader == nullptr || readResult < 1) {
        writer->writeByte(1);
    } else {
        writer->writeByte(0);
        // The objects of the loaded session that a front end may name.
        std::unordered_set<const void *> live;
        std::unordered_set<const void *> threads;
        if (loaded.cpu != nullptr) {
            for (LiveThreadManager *t : loaded.cpu->getThreadManagers())
                threads.insert(t);
            live.insert(threads.begin(), threads.end());
        }
        if (loaded.classes != nullptr) {
            for (ClassData *c : loaded.classes->getClasses())
                live.insert(c);
            for (MethodDesc *m : loaded.classes->getMethods())
                live.insert(m);
        }
        if (loaded.heap != nullptr) {
            std::vector<const CallStackTree *> pending{loaded.heap->getBacktraceRoot()};
            while (!pending.empty()) {
                const CallStackTree *n = pending.back();
                pending.pop_back();
                live.insert(n);
                for (const CallStackTree *c = n->getFirstChild(); c != nullptr; c = c->getNextInstance())
                    pending.push_back(c);
            }
        }
        writer->writeU4(static_cast<uint32_t>(reader->getIDWidth()));
        if (!reader->getError()) {
            std::vector<Pair> pairs = pairsOf(reader);
            for (const Pair &p : pairs) {
                if (live.count(p.object) == 0)
                    continue;
                writer->writeByte(1);
                writeOldId(writer, reader, p.oldId);
                writer->writeID(p.object);
            }
            writer->writeByte(0);
            for (const Pair &p : pairs) {
                if (threads.count(p.object) == 0)
                    continue;
                writer->writeByte(1);
                writeOldId(writer, reader, p.oldId);
                writer->writeJLong(static_cast<long long>(reinterpret_cast<uintptr_t>(p.object)));
            }
            writer->writeByte(0);
        }
        path = copyRest(reader);
        if (path.empty()) {
            writer->writeByte(1);
        } else {
            writer->writeByte(0);
            writer->writeString(path.c_str());
        }
    }
    if (loaded.classes != nullptr) {
        loaded.classes->writeMethodDescriptions(writer, true);
        loaded.classes->writeClassDescriptions(writer, true);
    } else {
        writer->writeByte(0);
        writer->writeByte(0);
    }
    writer->writeJLong(Counter::getUsec());
    writer->writeU4(0);
    if (loaded.cpu != nullptr && loaded.classes != nullptr) {
        loaded.cpu->handleCmdThreadDescriptions(writer, loaded.classes);
    } else {
        writer->writeByte(0);
        writer->writeU4(0);
        writer->writeByte(0);
        writer->writeByte(0);
    }
    writer->flush();
    return path;
}
