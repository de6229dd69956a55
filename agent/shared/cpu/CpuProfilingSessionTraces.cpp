// CpuProfilingSession: the call tracer.
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

// Call tracer.

bool CpuProfilingSession::setTraceRecord(bool all, bool filtered, bool restart, uint32_t cap)
{
    if (all && !reportsEveryCall()) {
        MessageUtil::message("ERROR: Tracing can only be used with dynamic instrumentation");
        return false;
    }
    if (all && cap > MAX_TRACE_RECORDS) {
        MessageUtil::message("Call tracer cap %u is above the limit of %u records; using %u.", cap, MAX_TRACE_RECORDS, MAX_TRACE_RECORDS);
        cap = MAX_TRACE_RECORDS;
    }
    bool switchCpuOn = false;
    {
        SessionLock lock(session, IM_THREAD);
        if (restart || all != traceAll.load(std::memory_order_relaxed)) {
            for (LiveThreadManager *t : threadManagers)
                t->traceStarted = false;
        }
        if (all) {
            switchCpuOn = !isRecording();
            if (restart || !traces)
                traces.reset(new std::vector<Trace>());
        } else if (traceAll.load(std::memory_order_relaxed)) {
            newCallTracerData = true;
        }
        traceFiltered = filtered;
        traceCap = cap;
        traceAll.store(all, std::memory_order_relaxed);
    }
    if (switchCpuOn) {
        resetAnnotations();
        setCpuRecord(true, false);
    }
    return true;
}

bool CpuProfilingSession::hasNewCallTracerData()
{
    SessionLock lock(session, IM_THREAD);
    bool result = newCallTracerData;
    newCallTracerData = false;
    return result;
}

void CpuProfilingSession::traceEntry(LiveThreadManager *thread, MethodDesc *method, long long time, bool filtered)
{
    if (filtered && !traceFiltered)
        return;
    std::vector<HookFrame> stack;
    bool fresh = !thread->traceStarted;
    if (fresh && !getHookStack(&stack))
        stack.clear();
    SessionLock lock(session, IM_THREAD);
    if (!traces || traces->size() >= traceCap)
        return;
    if (fresh) {
        // The thread's first traced event: where it stands, outermost first.
        thread->traceStarted = true;
        traces->push_back(Trace{thread, nullptr, time});
        // The calls the hooks know, constructors only from hooked callers.
        bool inStack = false;
        bool afterHooked = false;
        for (const HookFrame &f : stack) {
            if (traces->size() >= traceCap)
                break;
            MethodDesc *m = f.hook.method;
            bool traced = f.hook.known && (traceFiltered || !m->getIsFiltered(false, false)) && (afterHooked || !isConstructor(m));
            afterHooked = f.hook.hooked;
            if (!traced)
                continue;
            traces->push_back(Trace{thread, m, time});
            inStack = inStack || m == method;
        }
        // The stack already shows the method being entered.
        if (inStack && !filtered)
            return;
        if (traces->size() >= traceCap)
            return;
    }
    traces->push_back(Trace{thread, method, time});
}

void CpuProfilingSession::traceExit(LiveThreadManager *thread, MethodDesc *method, long long time, bool filtered)
{
    if ((filtered && !traceFiltered) || !thread->traceStarted)
        return;
    SessionLock lock(session, IM_THREAD);
    if (!traces || traces->size() >= traceCap)
        return;
    traces->push_back(Trace{thread, method, -time});
}

void CpuProfilingSession::handleCmdSetTraceRecord(DataReader *reader)
{
    bool all = reader->readByte(0) != 0;
    bool filtered = reader->readByte(0) != 0;
    uint32_t cap = reader->readU4(0);
    if (reader->getError())
        return;
    setTraceRecord(all, filtered, true, cap);
    if (!all) {
        SessionLock lock(session, IM_THREAD);
        newCallTracerData = false;
    }
}

namespace {

// U4 the records with a method, then thread, method and time of each; U4 the
// thread starts and the position of each among those records.
void writeTraces(DataWriter *writer, const std::vector<CpuProfilingSession::Trace> &traces)
{
    uint32_t withMethod = 0;
    for (const CpuProfilingSession::Trace &t : traces)
        withMethod += t.method != nullptr ? 1 : 0;
    writer->writeU4(withMethod);
    std::vector<uint32_t> starts;
    uint32_t position = 0;
    for (const CpuProfilingSession::Trace &t : traces) {
        if (t.method == nullptr) {
            starts.push_back(position);
            continue;
        }
        writer->writeID(t.thread);
        writer->writeID(t.method);
        writer->writeJLong(t.time);
        position++;
    }
    writer->writeU4(static_cast<uint32_t>(starts.size()));
    for (uint32_t p : starts)
        writer->writeU4(p);
}

} // namespace

void CpuProfilingSession::handleCmdGetTraces(DataWriter *writer, ClassProfilingSession *classes)
{
    {
        SessionLock lock(session, IM_THREAD);
        if (!traces) {
            writer->writeU4(0);
            writer->writeU4(0);
        } else {
            writeTraces(writer, *traces);
            traces.reset(new std::vector<Trace>());
        }
    }
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}
