// The Java controller API in piagent (com.orvane.api.agent.Controller
// through com.orvane.agent.ControllerImpl): the application switches the
// recordings itself. CPU recording switches the VM's method events with it,
// allocation recording its allocation and free events; the heap dump is
// the VM's own, converted as for command 7.
#include <jni.h>

#include "HeapViews.h"
#include "JavaNatives.h"
#include "LiveCpuProfilingSession.h"
#include "PiHeapdump.h"
#include "PiProfilingSession.h"
#include "PiNatives.h"

using PiNatives::cpuSession;
using PiNatives::liveSession;

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_startCPURecording0(JNIEnv *, jclass, jboolean reset)
{
    if (PiProfilingSession *session = liveSession())
        session->setCpuRecording(true, reset != JNI_FALSE);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_stopCPURecording0(JNIEnv *, jclass)
{
    if (PiProfilingSession *session = liveSession())
        session->setCpuRecording(false, false);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_startAllocRecording0(JNIEnv *, jclass, jboolean reset)
{
    PiProfilingSession *session = liveSession();
    if (session == nullptr)
        return;
    if (reset != JNI_FALSE && !session->isAllocRecording() && session->getHeapViews() != nullptr)
        HeapViews::reset(session->getHeapViews());
    session->setAllocRecord(true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_stopAllocRecording0(JNIEnv *, jclass)
{
    if (PiProfilingSession *session = liveSession())
        session->setAllocRecord(false);
}

// Thresholds below 0 keep the current ones. The VM reports contention and
// waits all along; the switch decides what is kept.
PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_startMonitorRecording0(JNIEnv *, jclass, jint blockThreshold,
                                                                                     jint waitThreshold)
{
    JavaNatives::setMonitorRecording(cpuSession(), true, blockThreshold, waitThreshold);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_stopMonitorRecording0(JNIEnv *, jclass)
{
    JavaNatives::setMonitorRecording(cpuSession(), false, -1, -1);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_startMethodStatsRecording0(JNIEnv *, jclass)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->setRecordMethodStatistics(true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_stopMethodStatsRecording0(JNIEnv *, jclass)
{
    if (LiveCpuProfilingSession *cpu = cpuSession())
        cpu->setRecordMethodStatistics(false);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_startVMTelemetryRecording0(JNIEnv *, jclass)
{
    if (PiProfilingSession *session = liveSession())
        session->setVmTelemetryRecording(true);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_stopVMTelemetryRecording0(JNIEnv *, jclass)
{
    if (PiProfilingSession *session = liveSession())
        session->setVmTelemetryRecording(false);
}

PI_NATIVE void JNICALL Java_com_orvane_agent_ControllerImpl_triggerHeapDump0(JNIEnv *, jclass, jboolean option4, jboolean option6,
                                                                                jboolean primitiveValues, jboolean option5)
{
    PiProfilingSession *session = liveSession();
    if (session == nullptr || session->getHeapdump() == nullptr)
        return;
    session->getHeapdump()->triggerDump(option4 != JNI_FALSE, option6 != JNI_FALSE, primitiveValues != JNI_FALSE, option5 != JNI_FALSE);
}
