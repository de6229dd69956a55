#include "ThreadDesc.h"

#include "CallStackTree.h"
#include "DataReader.h"
#include "DataWriter.h"

ThreadDesc::ThreadDesc(ThreadManager *manager)
    : owner(manager), javaThreadId(0), startTime(0), endTime(-1), creator(nullptr)
{
}

void ThreadDesc::setCreationInfo(ThreadManager *creatingThread, const CallStackTree *node)
{
    setCreationInfo(creatingThread, pathOf(node));
}

void ThreadDesc::setCreationInfo(ThreadManager *creatingThread, const std::vector<Frame> &stack)
{
    creator = creatingThread;
    creationStack = stack;
}

std::vector<ThreadDesc::Frame> ThreadDesc::pathOf(const CallStackTree *node)
{
    std::vector<Frame> path;
    for (const CallStackTree *n = node; n != nullptr && n->getParent() != nullptr; n = n->getParent())
        path.push_back(Frame(n->getMethod(), n->getLineHint()));
    return path;
}

void ThreadDesc::ensureThreadStatusCapacity()
{
    statusList.reserve(statusList.size() + 1);
    statusTimeList.reserve(statusTimeList.size() + 1);
}

void ThreadDesc::addThreadStatus(unsigned char status, long long time)
{
    // Keep changes only: a repeated status adds nothing to what the front
    // end has not had yet.
    if (statusList.size() > statusesSent && statusList.back() == status)
        return;
    ensureThreadStatusCapacity();
    statusList.push_back(status);
    statusTimeList.push_back(static_cast<uint32_t>(time < 0 ? 0 : time / STATUS_TIME_UNIT));
}

void ThreadDesc::write(DataWriter *writer, bool reset, long long vmStart, long long lastCpuTime)
{
    writer->writeID(owner);
    writer->writeString(threadName.c_str());
    writer->writeString(groupName.c_str());
    writer->writeString(parentName.c_str());
    writer->writeJLong(javaThreadId);
    writer->writeJLong(startTime < vmStart ? vmStart : startTime);
    writer->writeJLong(endTime < 0 ? -1 : (endTime < vmStart ? vmStart : endTime));
    writer->writeJLong(lastCpuTime);
    // The front end gets each entry once; a snapshot keeps the whole history.
    size_t first = reset ? statusesSent : 0;
    writer->writeU4(static_cast<uint32_t>(statusList.size() - first));
    for (size_t i = first; i < statusList.size(); i++) {
        writer->writeByte(statusList[i]);
        writer->writeJLong(static_cast<long long>(statusTimeList[i]) * STATUS_TIME_UNIT);
    }
    writer->writeID(creator);
    writer->writeU4(static_cast<uint32_t>(creationStack.size()));
    for (const Frame &frame : creationStack) {
        writer->writeID(frame.first);
        writer->writeU2(frame.second);
    }
    if (reset)
        statusesSent = statusList.size();
}

namespace {

std::string readOwnedString(DataReader *reader)
{
    char *text = reader->readString(nullptr);
    std::string result = text != nullptr ? text : "";
    delete[] text;
    return result;
}

} // namespace

long long ThreadDesc::read(DataReader *reader, int version)
{
    threadName = readOwnedString(reader);
    groupName = readOwnedString(reader);
    parentName = readOwnedString(reader);
    if (version >= 36)
        javaThreadId = reader->readJLong(0);
    startTime = reader->readJLong(0);
    endTime = reader->readJLong(-1);
    long long lastCpuTime = reader->readJLong(-1);
    statusList.clear();
    statusTimeList.clear();
    statusesSent = 0;
    uint32_t n = reader->readU4(0);
    for (uint32_t i = 0; i < n && !reader->getError(); i++) {
        int status = reader->readByte(0);
        long long time = reader->readJLong(0);
        if (reader->getError())
            break;
        statusList.push_back(static_cast<unsigned char>(status));
        statusTimeList.push_back(static_cast<uint32_t>(time / STATUS_TIME_UNIT));
    }
    creationStack.clear();
    if (version >= 11) {
        creator = static_cast<ThreadManager *>(reader->readID(nullptr));
        uint32_t m = reader->readU4(0);
        for (uint32_t i = 0; i < m && !reader->getError(); i++) {
            MethodDesc *method = static_cast<MethodDesc *>(reader->readID(nullptr));
            uint16_t line = static_cast<uint16_t>(reader->readU2(0));
            if (reader->getError())
                break;
            creationStack.push_back(Frame(method, line));
        }
    }
    return lastCpuTime;
}
