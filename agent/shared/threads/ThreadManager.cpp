#include "ThreadManager.h"

#include "DataReader.h"
#include "DataWriter.h"
#include "FileDataReader.h"
#include "FileDataWriter.h"
#include "MessageUtil.h"

namespace {

// Answered for cleared managers; never changed.
CallStackTree emptyCallStackTree;

const std::string noName;

const int STORE_TREE_FLAGS = 126;
const int STORE_ANNOTATION_FLAGS = 114;
const int STORE_VERSION = 36;

} // namespace

ThreadManager::ThreadManager()
    : callTree(nullptr), cleared(false), lastCpuTime(-1), ignored(false), storeOffset(-1), threadDesc(nullptr), creationTime(0)
{
    replaceCallTree();
}

ThreadManager::~ThreadManager()
{
    if (callTree != nullptr)
        callTree->freeAll(&treePool);
    delete threadDesc;
}

ThreadDesc *ThreadManager::ensureThreadDesc()
{
    if (threadDesc == nullptr) {
        threadDesc = new ThreadDesc(this);
        threadDesc->setThreadStartTime(creationTime);
    }
    return threadDesc;
}

const std::string &ThreadManager::getThreadName() const
{
    return threadDesc != nullptr ? threadDesc->getThreadName() : noName;
}

const std::string &ThreadManager::getGroupName() const
{
    return threadDesc != nullptr ? threadDesc->getGroupName() : noName;
}

void ThreadManager::setStartTime(long long t)
{
    creationTime = t;
    if (threadDesc != nullptr)
        threadDesc->setThreadStartTime(t);
}

long long ThreadManager::getStartTime() const
{
    return threadDesc != nullptr ? threadDesc->getThreadStartTime() : creationTime;
}

long long ThreadManager::getEndTime() const
{
    return threadDesc != nullptr ? threadDesc->getThreadEndTime() : -1;
}

void ThreadManager::replaceCallTree()
{
    if (callTree != nullptr)
        callTree->freeAll(&treePool);
    callTree = treePool.getInstance(false);
    callTree->initialize(nullptr, nullptr, nullptr, 0);
}

CallStackTree *ThreadManager::getCallStackTree(bool ifCleared)
{
    if (cleared && ifCleared)
        return &emptyCallStackTree;
    if (callTree == nullptr)
        return &emptyCallStackTree;
    return callTree;
}

void ThreadManager::addStackTrace(long long time, std::vector<Frame> frames)
{
    stackTraces.push_back(StackTrace{time, std::move(frames)});
}

void ThreadManager::writeStackTraces(DataWriter *writer, bool release)
{
    for (const StackTrace &trace : stackTraces) {
        writer->writeByte(1);
        writer->writeJLong(trace.time);
        for (const Frame &frame : trace.frames) {
            writer->writeByte(1);
            writer->writeID(frame.first);
            writer->writeU2(frame.second);
        }
        writer->writeByte(0);
    }
    writer->writeByte(0);
    if (release)
        stackTraces.clear();
}

void ThreadManager::writeDescription(DataWriter *writer, bool reset, long long vmStart)
{
    ensureThreadDesc()->write(writer, reset, vmStart, lastCpuTime);
}

void ThreadManager::writeMonitorUsageStats(DataWriter *writer)
{
    writer->writeByte(1);
    std::string label = threadDesc != nullptr ? threadDesc->getThreadName() + " [" + threadDesc->getGroupName() + "]" : "main [main]";
    writer->writeString(label.c_str());
    monitorUsageStats.write(writer);
}

long long ThreadManager::store(FileDataWriter *writer)
{
    if (callTree == nullptr)
        return storeOffset;
    if (storeOffset >= 0) {
        // Read back for a merge: the stored copy is still the same.
        callTree->freeAll(&treePool);
        callTree = nullptr;
        return storeOffset;
    }
    long long position = writer->getPos();
    if (position < 0)
        return -1;
    callTree->write(writer, STORE_TREE_FLAGS);
    writer->writeByte(0); // no annotation tree is kept
    writer->flush();
    if (writer->getError())
        return -1;
    storeOffset = position;
    callTree->freeAll(&treePool);
    callTree = nullptr;
    return position;
}

bool ThreadManager::retrieve(FileDataReader *reader)
{
    if (callTree != nullptr)
        return true;
    replaceCallTree();
    if (storeOffset < 0 || reader->seek(storeOffset) != 0) {
        MessageUtil::message("ERROR: could not seek dead threads temp file");
        return false;
    }
    reader->enableIDUpdate(false, DataWriter::ID_SIZE);
    if (reader->readByte(0) != 1)
        return false;
    callTree->read(reader, STORE_TREE_FLAGS, &treePool, STORE_VERSION);
    if (reader->getError()) {
        replaceCallTree();
        return false;
    }
    if (reader->readByte(0) == 1) {
        // Annotation trees are not kept; read past one all the same.
        CallStackTree *annotations = treePool.getInstance(false);
        annotations->initialize(nullptr, nullptr, nullptr, 0);
        annotations->read(reader, STORE_ANNOTATION_FLAGS, &treePool, STORE_VERSION);
        annotations->freeAll(&treePool);
    }
    return true;
}

bool ThreadManager::read(DataReader *reader, int version)
{
    if (version >= 4)
        reader->readOldID(this);
    reader->readOldID(this); // the description's owner
    lastCpuTime = ensureThreadDesc()->read(reader, version);
    replaceCallTree();
    if (reader->readByte(0) == 1) {
        int flags = version < 19 ? 0xFF : 0xFE;
        callTree->read(reader, flags, &treePool, version);
    }
    if (version >= 29 && reader->readByte(0) == 1) {
        CallStackTree *annotations = treePool.getInstance(false);
        annotations->initialize(nullptr, nullptr, nullptr, 0);
        annotations->read(reader, STORE_ANNOTATION_FLAGS | CallStackTree::ENTRY_UPDATE_AT_ONCE, &treePool, version);
        annotations->freeAll(&treePool);
    }
    cleared = reader->readByte(0) != 0;
    ignored = reader->readByte(0) != 0;
    lastCpuTime = reader->readJLong(-1);
    monitorUsageStats.read(reader, version);
    stackTraces.clear();
    if (version >= 22) {
        while (!reader->getError() && reader->readByte(0) == 1) {
            StackTrace trace;
            trace.time = reader->readJLong(0);
            while (!reader->getError() && reader->readByte(0) == 1) {
                MethodDesc *method = static_cast<MethodDesc *>(reader->readAndUpdateID());
                uint16_t line = static_cast<uint16_t>(reader->readU2(0));
                if (method != nullptr)
                    trace.frames.push_back(Frame(method, line));
            }
            stackTraces.push_back(std::move(trace));
        }
    }
    return !reader->getError();
}
