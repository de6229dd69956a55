#include "LiveThreadEvents.h"

#include <string>
#include <vector>

#include "AnnotationInstrumentation.h"
#include "CpuProfilingSession.h"
#include "InternalMonitor.h"
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

// A Java string as UTF-8; empty for null.
std::string utf(JNIEnv *env, jstring s)
{
    if (s == nullptr)
        return std::string();
    const char *chars = env->GetStringUTFChars(s, nullptr);
    if (chars == nullptr) {
        env->ExceptionClear();
        return std::string();
    }
    std::string text = chars;
    env->ReleaseStringUTFChars(s, chars);
    return text;
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
    std::string text = utf(env, name);
    SessionLock lock(cpu->getProfilingSession(), IM_THREAD);
    for (LiveThreadManager *t : cpu->getThreadManagers()) {
        if (t->threadHandle != nullptr && env->IsSameObject(thread, static_cast<jobject>(t->threadHandle)) == JNI_TRUE)
            t->setThreadName(text);
    }
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_registerAnnotationMethods(JNIEnv *env, jclass, jobjectArray methods,
                                                                                      jintArray values, jintArray flags, jint id)
{
    ProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr) {
        MessageUtil::message("A different instance of the native library has been");
        MessageUtil::message("loaded. Please check the appropriate environment");
        MessageUtil::message("variable. (PATH, LD_LIBRARY_PATH, DYLD_LIBRARY_PATH)");
        LiveProfiling::instance().endVm(LiveProfiling::END_WRONG_LIBRARY);
        return;
    }
    if (id == 0 || methods == nullptr || values == nullptr || flags == nullptr)
        return;
    jsize count = env->GetArrayLength(methods);
    if (env->GetArrayLength(values) < count || env->GetArrayLength(flags) < count) {
        MessageUtil::message("probe %d: fewer values or flags than methods, nothing registered", static_cast<int>(id));
        return;
    }
    std::vector<jint> valueList(static_cast<size_t>(count)), flagList(static_cast<size_t>(count));
    if (count > 0) {
        env->GetIntArrayRegion(values, 0, count, valueList.data());
        env->GetIntArrayRegion(flags, 0, count, flagList.data());
    }
    // Each row: {class or null, name, descriptor}; texts kept until registered.
    std::vector<std::string> texts;
    texts.reserve(static_cast<size_t>(count) * 3);
    std::vector<AnnotationInstrumentation::Row> rows;
    for (jsize i = 0; i < count; i++) {
        jobjectArray row = static_cast<jobjectArray>(env->GetObjectArrayElement(methods, i));
        if (row == nullptr || env->GetArrayLength(row) < 3) {
            if (row != nullptr)
                env->DeleteLocalRef(row);
            continue;
        }
        bool present[3];
        for (jsize k = 0; k < 3; k++) {
            jstring s = static_cast<jstring>(env->GetObjectArrayElement(row, k));
            present[k] = s != nullptr;
            texts.push_back(utf(env, s));
            if (s != nullptr)
                env->DeleteLocalRef(s);
        }
        env->DeleteLocalRef(row);
        size_t at = texts.size() - 3;
        rows.push_back(AnnotationInstrumentation::Row{present[0] ? texts[at].c_str() : nullptr,
                                                      present[1] ? texts[at + 1].c_str() : nullptr,
                                                      present[2] ? texts[at + 2].c_str() : nullptr, valueList[static_cast<size_t>(i)],
                                                      flagList[static_cast<size_t>(i)]});
    }
    SessionLock lock(session, IM_CLASS);
    AnnotationInstrumentation::registerMethods(rows, id);
}
