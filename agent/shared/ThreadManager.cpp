#include "ThreadManager.h"

#include "DataWriter.h"

namespace {

// Answered for cleared managers; never changed.
CallStackTree emptyCallStackTree;

} // namespace

ThreadManager::ThreadManager()
    : callTree(nullptr), cleared(false), lastCpuTime(-1), ignored(false), storeOffset(-1), javaThreadId(0), startTime(0), endTime(-1)
{
    replaceCallTree();
}

ThreadManager::~ThreadManager()
{
    if (callTree != nullptr)
        callTree->freeAll(&treePool);
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
    writer->writeID(this);
    writer->writeString(threadName.c_str());
    writer->writeString(groupName.c_str());
    writer->writeString(parentName.c_str());
    writer->writeJLong(javaThreadId);
    writer->writeJLong(startTime < vmStart ? vmStart : startTime);
    writer->writeJLong(endTime < 0 ? -1 : (endTime < vmStart ? vmStart : endTime));
    writer->writeJLong(lastCpuTime);
    writer->writeU4(static_cast<uint32_t>(statusList.size()));
    for (size_t i = 0; i < statusList.size(); i++) {
        writer->writeByte(statusList[i]);
        writer->writeJLong(static_cast<long long>(statusTimeList[i]) * 10000);
    }
    writer->writeID(nullptr); // creator
    writer->writeU4(0);       // creation stack
    if (reset) {
        statusList.clear();
        statusTimeList.clear();
    }
}
