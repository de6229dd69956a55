// CpuProfilingSession: thread dumps, thread descriptions and the store of dead threads.
#include "CpuProfilingSession.h"
#include "CpuProfilingSessionPrivate.h"

#include <algorithm>
#include <unordered_map>

#include "AnnotationHotspots.h"
#include "CSTBacktraceVisitor.h"
#include "CSTClearVisitor.h"
#include "CSTMethodGraphVisitor.h"
#include "CSTExceptionalMergeVisitor.h"
#include "CSTMergeVisitor.h"
#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "CallStackTree.h"
#include "InternalMonitor.h"
#include "LiveThreadManager.h"
#include "MethodDesc.h"
#include "ClassData.h"
#include "ProfilingSession.h"
#include "SamplerSession.h"
#include "SessionLock.h"
#include "ThreadHelper.h"
#include "VmInterface.h"
#include "FileDataReader.h"
#include "FileDataWriter.h"
#include "MessageUtil.h"
#include "MonitorEntry.h"
#include "LiveMonitorManager.h"
#include "TempFiles.h"

#include <cstring>
#include <string>
#include <unistd.h>

void CpuProfilingSession::doThreadDump()
{
    SessionLock lock(session, IM_THREAD);
    std::vector<LiveThreadManager *> alive;
    std::vector<void *> handles;
    for (LiveThreadManager *t : threadManagers) {
        if (!t->getIsDead() && !t->getIgnored() && t->threadHandle != nullptr) {
            alive.push_back(t);
            handles.push_back(t->threadHandle);
        }
    }
    std::vector<std::vector<VmInterface::StackFrame>> stacks;
    if (alive.empty() || !vm->getThreadDumpStacks(handles, &stacks) || stacks.size() != alive.size())
        return;
    long long now = vm->getUsec();
    for (size_t i = 0; i < alive.size(); i++) {
        if (stacks[i].empty())
            continue;
        std::vector<ThreadManager::Frame> frames;
        for (const VmInterface::StackFrame &f : stacks[i])
            frames.push_back(ThreadManager::Frame(f.method, f.line));
        alive[i]->addStackTrace(now, std::move(frames));
    }
    newThreadDumps.store(true);
}

void CpuProfilingSession::handleCmdThreadDump(DataWriter *writer, bool newDump, ClassProfilingSession *classes)
{
    if (newDump)
        doThreadDump();
    {
        SessionLock lock(session, IM_THREAD);
        for (LiveThreadManager *t : threadManagers) {
            if (!t->hasStackTraces())
                continue;
            writer->writeByte(1);
            writer->writeID(t);
            t->writeStackTraces(writer, true);
        }
    }
    writer->writeByte(0);
    writer->writeJLong(vm->getUsec());
    writer->writeU4(0);
    handleCmdThreadDescriptions(writer, classes);
}

void CpuProfilingSession::handleCmdThreadDescriptions(DataWriter *writer, ClassProfilingSession *classes)
{
    {
        SessionLock lock(session, IM_THREAD);
        long long vmStart = session->getVmStartTime();
        for (LiveThreadManager *t : threadManagers) {
            if (t->getIgnored() || !t->hasDescription())
                continue;
            writer->writeByte(1);
            t->writeDescription(writer, true, vmStart < 0 ? 0 : vmStart);
        }
    }
    writer->writeByte(0);
    // The bookmarks stay: the telemetry reply and snapshots carry them too.
    SamplerSession *sampler = session->getSamplerSession();
    if (sampler != nullptr)
        sampler->writeBookmarks(writer, false);
    else
        writer->writeU4(0);
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

// Dead-thread store.

bool CpuProfilingSession::openDeadThreadStore()
{
    if (deadThreadFile != nullptr)
        return true;
    // A store that cannot be made keeps the trees in memory; the VM goes on.
    std::string path;
    int fd = TempFiles::createFile("jdc", path);
    if (fd < 0) {
        MessageUtil::message("Could not create temp file %s/jdcXXXXXX.  Please check your TMP and TMPDIR environment variables.",
                             TempFiles::tempDirectory().c_str());
        return false;
    }
    // Nobody needs the name: the open descriptor keeps the file alive.
    unlink(path.c_str());
    deadThreadFile = fdopen(fd, "w+b");
    if (deadThreadFile == nullptr) {
        MessageUtil::message("Could not create temp file %s.  Please check your TMP and TMPDIR environment variables.", path.c_str());
        close(fd);
        return false;
    }
    return true;
}

void CpuProfilingSession::storeDeadThreads()
{
    bool anyDead = false;
    for (LiveThreadManager *t : threadManagers)
        anyDead = anyDead || (t->getIsDead() && !t->isSwappedOut());
    if (!anyDead || !openDeadThreadStore())
        return;
    if (fseeko(deadThreadFile, 0, SEEK_END) != 0) {
        MessageUtil::message("Could not seek tmp file");
        return;
    }
    FileDataWriter writer(deadThreadFile);
    for (LiveThreadManager *t : threadManagers) {
        if (t->getIsDead() && !t->isSwappedOut())
            t->storeTrees(&writer);
    }
    writer.flush();
    fflush(deadThreadFile);
}

void CpuProfilingSession::retrieveDeadThread(LiveThreadManager *thread)
{
    if (!thread->isSwappedOut() || deadThreadFile == nullptr)
        return;
    FileDataReader reader(deadThreadFile);
    thread->retrieve(&reader);
}

void CpuProfilingSession::withThreadTrees(const std::vector<const void *> &threads,
                                          const std::function<void(const std::vector<const CallStackTree *> &)> &use)
{
    SessionLock lock(session, IM_DEAD_THREADS | IM_THREAD);
    std::vector<const CallStackTree *> roots;
    for (LiveThreadManager *t : threadManagers) {
        if (t->getIgnored() || std::find(threads.begin(), threads.end(), static_cast<const void *>(t)) == threads.end())
            continue;
        retrieveDeadThread(t);
        if (const CallStackTree *root = t->getCallStackTree(false))
            roots.push_back(root);
    }
    use(roots);
    storeDeadThreads();
}
