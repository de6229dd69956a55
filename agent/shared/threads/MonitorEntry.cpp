#include "MonitorEntry.h"

#include <cinttypes>

#include "CallStackTree.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "ThreadManager.h"

namespace {

// The method of every node from `node` up to (not including) the root.
void writeMethodIds(DataWriter *writer, const CallStackTree *node)
{
    for (const CallStackTree *n = node; n != nullptr && n->getParent() != nullptr; n = n->getParent()) {
        writer->writeByte(1);
        writer->writeID(n->getMethod());
    }
    writer->writeByte(0);
}

void collectMethods(const CallStackTree *node, std::vector<MethodDesc *> *out)
{
    out->clear();
    for (const CallStackTree *n = node; n != nullptr && n->getParent() != nullptr; n = n->getParent())
        out->push_back(n->getMethod());
}

void writeCaptured(DataWriter *writer, const std::vector<MethodDesc *> &methods)
{
    for (MethodDesc *m : methods) {
        writer->writeByte(1);
        writer->writeID(m);
    }
    writer->writeByte(0);
}

} // namespace

MonitorEntry::MonitorEntry()
    : start(0), duration(0), raw(true), displayId(0), classData(nullptr), thread(nullptr), threadNode(nullptr), owner(nullptr),
      ownerNode(nullptr), type(TYPE_WAITING)
{
}

MonitorEntry::MonitorEntry(int type, long long start, bool raw, uint32_t displayId, ClassData *classData, ThreadManager *thread,
                           CallStackTree *threadNode, ThreadManager *owner, CallStackTree *ownerNode, long long duration)
{
    update(type, start, raw, displayId, classData, thread, threadNode, owner, ownerNode, duration);
}

void MonitorEntry::update(int newType, long long newStart, bool newRaw, uint32_t newDisplayId, ClassData *newClass,
                          ThreadManager *newThread, CallStackTree *newThreadNode, ThreadManager *newOwner,
                          CallStackTree *newOwnerNode, long long newDuration)
{
    captured = false;
    threadStack.clear();
    ownerStack.clear();
    type = newType;
    start = newStart;
    raw = newRaw;
    displayId = newDisplayId;
    classData = newClass;
    thread = newThread;
    threadNode = newThreadNode;
    owner = newOwner;
    ownerNode = newOwnerNode;
    duration = newDuration;
}

bool MonitorEntry::isAboveThreshold(long long blockThreshold, long long waitThreshold) const
{
    if (thread == nullptr || !thread->hasDescription())
        return false;
    return duration >= (type == TYPE_WAITING ? waitThreshold : blockThreshold);
}

void MonitorEntry::write(DataWriter *writer, bool withStacks) const
{
    writer->writeByte(type);
    writer->writeJLong(start);
    writer->writeByte(raw ? 1 : 0);
    writer->writeU4(displayId);
    writer->writeID(classData);
    // The wire keeps 32 bits: a longer event is reported as the longest one.
    long long wire = duration < 0 ? 0 : (duration > INT32_MAX ? INT32_MAX : duration);
    writer->writeU4(static_cast<uint32_t>(wire));
    writer->writeID(thread);
    writer->writeID(owner);
    if (withStacks && captured) {
        writeCaptured(writer, threadStack);
        writeCaptured(writer, ownerStack);
    } else if (withStacks) {
        writeMethodIds(writer, threadNode);
        writeMethodIds(writer, ownerNode);
    } else {
        writer->writeID(threadNode);
        writer->writeID(ownerNode);
    }
}

void MonitorEntry::read(DataReader *reader, int)
{
    type = reader->readByte(TYPE_WAITING);
    start = reader->readJLong(0);
    raw = reader->readByte(1) != 0;
    displayId = reader->readU4(0);
    classData = static_cast<ClassData *>(reader->readID(nullptr));
    duration = reader->readU4(0);
    thread = static_cast<ThreadManager *>(reader->readID(nullptr));
    owner = static_cast<ThreadManager *>(reader->readID(nullptr));
    threadNode = static_cast<CallStackTree *>(reader->readID(nullptr));
    ownerNode = static_cast<CallStackTree *>(reader->readID(nullptr));
}

void MonitorEntry::captureStacks()
{
    collectMethods(threadNode, &threadStack);
    collectMethods(ownerNode, &ownerStack);
    captured = true;
}

void MonitorEntry::debugOut() const
{
    MessageUtil::debugOut("type: %d, tm: %s, owner: %s, start: %" PRId64 ", duration: %" PRId64 ", end: %" PRId64 "\n", type,
           thread != nullptr ? thread->getThreadName().c_str() : "-", owner != nullptr ? owner->getThreadName().c_str() : "-",
           static_cast<int64_t>(start), static_cast<int64_t>(duration), static_cast<int64_t>(start + duration));
}
