// The recorder's natives: start-up from Java without JVMTI, the policies of
// probe and class methods, and the switch that hands methods to native
// recording.
#include <jni.h>

#include <string>

#include "CpuProfilingSession.h"
#include "JavaNatives.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "NoSessionReport.h"

namespace {

LiveProfilingSession *liveSession()
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr)
        NoSessionReport::report();
    return session;
}

} // namespace

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_java_JavaAgentManager_init0(JNIEnv *env, jclass, jstring options,
                                                                                    jobjectArray monitors)
{
    std::string text;
    if (options != nullptr) {
        const char *chars = env->GetStringUTFChars(options, nullptr);
        if (chars == nullptr)
            return;
        text = chars;
        env->ReleaseStringUTFChars(options, chars);
    }
    LiveProfiling::instance().startRecorder(env, text.c_str(), monitors);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_java_CobaltRecorder_updatePolicies0(
    JNIEnv *env, jclass, jclass type, jobject method, jobject f1, jobject f2, jobject f3, jobject f4, jobject f5, jobject f6, jobject f7)
{
    LiveProfilingSession *session = liveSession();
    LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    if (session == nullptr || classes == nullptr)
        return;
    const jobject fields[7] = {f1, f2, f3, f4, f5, f6, f7};
    JavaNatives::updateRecorderPolicies(env, classes, classes->getCumulationClassData(), type, method, fields);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_setNativeCobaltRecording0(JNIEnv *env, jclass,
                                                                                                       jboolean on,
                                                                                                       jlongArray ids)
{
    if (liveSession() != nullptr)
        JavaNatives::setRecorderRecording(env, on, ids, LiveProfiling::instance().getCpuSession());
}
