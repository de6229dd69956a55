#include "LiveThreadEvents.h"

#include <string>
#include <vector>

#include "AnnotationInstrumentation.h"
#include "CpuProfilingSession.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "SessionLock.h"
#include "ThreadStartRecords.h"

namespace {

ThreadStartRecords pendingStarts;

ProfilingSession *profilingSession()
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    return cpu != nullptr ? cpu->getProfilingSession() : nullptr;
}

} // namespace

void LiveThreadEvents::onThreadStart(JNIEnv *env, jthread thread, LiveThreadManager *manager)
{
    ProfilingSession *session = profilingSession();
    if (session == nullptr || env == nullptr || thread == nullptr || manager == nullptr)
        return;
    ThreadStartRecords::Record record;
    bool found = false;
    {
        SessionLock lock(session, IM_THREAD);
        found = pendingStarts.take([env, thread](void *o) { return env->IsSameObject(thread, static_cast<jobject>(o)) == JNI_TRUE; },
                                   &record);
        if (found)
            manager->ensureThreadDesc()->setCreationInfo(record.creator, record.path);
    }
    if (found)
        env->DeleteGlobalRef(static_cast<jobject>(record.threadObject));
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_registerThreadStart(JNIEnv *env, jclass, jobject thread)
{
    ProfilingSession *session = profilingSession();
    if (session == nullptr || thread == nullptr)
        return;
    LiveThreadManager *creator = LiveCpuProfilingHelper::getCurrentThreadManager(env, true);
    jobject global = env->NewGlobalRef(thread);
    if (creator == nullptr || global == nullptr)
        return;
    SessionLock lock(session, IM_THREAD);
    pendingStarts.add(ThreadStartRecords::Record{global, creator, ThreadDesc::pathOf(creator->getCurrentNode())});
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_setThreadName(JNIEnv *env, jclass, jobject thread, jstring name)
{
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    if (cpu == nullptr || thread == nullptr || name == nullptr)
        return;
    std::string text;
    JavaNatives::utf(env, name, &text);
    SessionLock lock(cpu->getProfilingSession(), IM_THREAD);
    for (LiveThreadManager *t : cpu->getThreadManagers()) {
        if (t->threadHandle != nullptr && env->IsSameObject(thread, static_cast<jobject>(t->threadHandle)) == JNI_TRUE)
            t->setThreadName(text);
    }
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_setOverrideThreadStatus(JNIEnv *env, jclass, jint status)
{
    JavaNatives::setOverrideThreadStatus(env, LiveCpuProfilingHelper::getSession(), LiveCpuProfilingHelper::getCurrentThreadManager, status);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_resetOverrideThreadStatus(JNIEnv *env, jclass)
{
    JavaNatives::resetOverrideThreadStatus(env, LiveCpuProfilingHelper::getSession(), LiveCpuProfilingHelper::getCurrentThreadManager);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_registerAnnotationMethods(JNIEnv *env, jclass, jobjectArray methods,
                                                                                      jintArray values, jintArray flags, jint id)
{
    ProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr) {
        JavaNatives::reportWrongLibrary();
        LiveProfiling::instance().endVm(VmEnd::WRONG_LIBRARY);
        return;
    }
    JavaNatives::ProbeMethods list;
    if (!JavaNatives::readProbeMethods(env, methods, values, flags, id, &list))
        return;
    SessionLock lock(session, IM_CLASS);
    AnnotationInstrumentation::registerMethods(list.rows<AnnotationInstrumentation::Row>(), id);
}
