#include "LiveSamplerHelper.h"

#include <atomic>
#include <string>
#include <unistd.h>
#include <vector>

#include "Counter.h"
#include "SessionLock.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "CpuProfilingSession.h"
#include "HeapProfilingSession.h"
#include "LiveClassProfilingHelper.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "LiveSamplerSession.h"
#include "MessageUtil.h"

namespace {

// Without a live session in this library: said once, then every call is ignored.
bool noSession()
{
    static std::atomic<bool> told{false};
    if (LiveProfiling::instance().getSession() != nullptr)
        return false;
    if (!told.exchange(true)) {
        MessageUtil::message("The native library has not been initialized.");
        MessageUtil::message("Profiling commands will be ignored.");
        MessageUtil::message("Did you forget the -agentpath parameter?");
    }
    return true;
}

} // namespace

namespace {

// Ticks of the Java side's sampler since the start.
std::atomic<long long> javaSamplingCount(0);

// Housekeeping on the Java side's tick: the trees of dead threads go to
// their store every 3600th (every tick with test-dead-tree), not without
// JVMTI. The Java side auto-tunes the instrumentation on the same tick
// (Transformer.autoTune0), as it retransforms the classes of the methods
// picked.
void tickHousekeeping(LiveProfiling &edge)
{
    long long tick = ++javaSamplingCount;
    LiveProfilingSession *session = edge.getSession();
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (edge.jvmti == nullptr || session == nullptr || cpu == nullptr)
        return;
    if (tick % 3600 == 0 || session->getOptions().testDeadTree) {
        SessionLock lock(session, IM_THREAD | IM_DEAD_THREADS);
        cpu->storeDeadThreads();
    }
}

} // namespace

bool LiveSamplerHelper::doJavaSampling(JNIEnv *, long long memory1, long long memory2, const int32_t *values, int count)
{
    LiveProfiling &edge = LiveProfiling::instance();
    tickHousekeeping(edge);
    LiveSamplerSession *sampler = LiveCpuProfilingHelper::getSampler();
    if (!edge.isVmTelemetry() || sampler == nullptr)
        return edge.isVmTelemetry();
    LiveSamplerSession::VmCounts counts;
    int filtered = 0, unfiltered = 0;
    LiveClassProfilingHelper::getTelemetryData(&filtered, &unfiltered);
    counts.unfilteredClasses = unfiltered;
    counts.filteredClasses = filtered;
    // The heap session's counters; taking them starts the freed and created counts afresh.
    if (HeapProfilingSession *heap = LiveHeapProfilingHelper::getSession()) {
        int arrays = 0, nonArrays = 0, freed = 0, created = 0;
        heap->getTelemetryData(&arrays, &nonArrays, &freed, &created);
        counts.liveObjects = nonArrays;
        counts.liveArrays = arrays;
        counts.freedObjects = freed;
        counts.createdObjects = created;
    }
    sampler->addJavaSample(Counter::getUsec(), counts, memory1, memory2, values, count);
    return true;
}

void LiveSamplerHelper::setVmTelemetryRecording(bool on)
{
    LiveProfiling &edge = LiveProfiling::instance();
    if (on && !edge.isVmTelemetry()) {
        if (LiveSamplerSession *sampler = LiveCpuProfilingHelper::getSampler())
            sampler->clearTelemetryData();
    }
    edge.setVmTelemetry(on);
}

extern "C" JNIEXPORT jint JNICALL Java_com_orvane_agent_Sampler_initNative(JNIEnv *, jclass)
{
    return 1;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_Sampler_shouldSample(JNIEnv *, jclass)
{
    return LiveProfiling::instance().isVmTelemetry() ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_Sampler_doSampling(JNIEnv *env, jclass, jlong memory1, jlong memory2,
                                                                             jintArray values)
{
    if (LiveProfiling::instance().getSession() == nullptr) {
        MessageUtil::message("A different instance of the native library has been");
        MessageUtil::message("loaded. Please check the appropriate environment");
        MessageUtil::message("variable. (PATH, LD_LIBRARY_PATH, DYLD_LIBRARY_PATH)");
        LiveProfiling::instance().endVm(VmEnd::WRONG_LIBRARY);
        return JNI_FALSE;
    }
    std::vector<int32_t> custom = JavaNatives::ints(env, values);
    bool recording = LiveSamplerHelper::doJavaSampling(env, memory1, memory2, custom.data(), static_cast<int>(custom.size()));
    return recording ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Sampler_initDescriptions(JNIEnv *env, jclass, jobjectArray names,
                                                                               jintArray types, jlongArray values)
{
    if (noSession())
        return;
    JavaNatives::initDescriptions(
        env, names, types, values, [] { return LiveCpuProfilingHelper::getSampler(); },
        [] { return LiveProfiling::instance().getSession() != nullptr; });
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_addBookmark(JNIEnv *env, jclass, jstring text)
{
    if (noSession())
        return;
    JavaNatives::addBookmark(env, LiveCpuProfilingHelper::getSampler(), text);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_startVMTelemetryRecording0(JNIEnv *, jclass)
{
    if (!noSession())
        LiveSamplerHelper::setVmTelemetryRecording(true);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_stopVMTelemetryRecording0(JNIEnv *, jclass)
{
    if (!noSession())
        LiveSamplerHelper::setVmTelemetryRecording(false);
}
