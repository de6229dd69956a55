// The recorder's natives: start-up from Java without JVMTI, the policies of
// probe and class methods, and the switch that hands methods to native
// recording.
#include <jni.h>

#include <string>
#include <vector>

#include "CpuProfilingSession.h"
#include "InternalMonitor.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "NoSessionReport.h"
#include "Recorder.h"
#include "RecorderMethodIds.h"
#include "SessionLock.h"

namespace {

// The policy class and its members, kept from the first policy update on.
struct PolicyClass {
    jclass type = nullptr;
    jmethodID policy = nullptr;
    jfieldID fields[7] = {};
};
PolicyClass policyClass;

LiveProfilingSession *liveSession()
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr)
        NoSessionReport::report();
    return session;
}

// The policy of one method as the Java policy class gives it; false for
// none (or when the call failed, which is logged).
bool askPolicy(JNIEnv *env, bool annotationMethod, const char *name, Recorder::Policy *out)
{
    jstring text = env->NewStringUTF(name);
    if (text == nullptr) {
        env->ExceptionClear();
        return false;
    }
    jobject answer = env->CallStaticObjectMethod(policyClass.type, policyClass.policy, annotationMethod ? JNI_TRUE : JNI_FALSE, text);
    env->DeleteLocalRef(text);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        MessageUtil::message("The recorder's policy for %s failed; the method keeps no policy.", name);
        return false;
    }
    if (answer == nullptr)
        return false;
    const jfieldID *f = policyClass.fields;
    out->limit1 = env->GetIntField(answer, f[0]);
    out->on1 = env->GetBooleanField(answer, f[1]) != JNI_FALSE;
    out->limit2 = env->GetIntField(answer, f[2]);
    out->on2 = env->GetBooleanField(answer, f[3]) != JNI_FALSE;
    out->limit3 = env->GetIntField(answer, f[4]);
    out->on3 = env->GetBooleanField(answer, f[5]) != JNI_FALSE;
    out->last = env->GetIntField(answer, f[6]);
    env->DeleteLocalRef(answer);
    return true;
}

// Keeps the policy class and its members on the first call; false when they
// are missing (nothing kept).
bool keepPolicyClass(JNIEnv *env, jclass type, jobject method, const jobject fields[7])
{
    if (policyClass.type != nullptr)
        return true;
    if (type == nullptr || method == nullptr)
        return false;
    PolicyClass kept;
    kept.policy = env->FromReflectedMethod(method);
    for (int i = 0; i < 7; i++) {
        if (fields[i] == nullptr)
            return false;
        kept.fields[i] = env->FromReflectedField(fields[i]);
        if (kept.fields[i] == nullptr)
            return false;
    }
    if (kept.policy == nullptr)
        return false;
    kept.type = static_cast<jclass>(env->NewGlobalRef(type));
    policyClass = kept;
    return true;
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
    SessionLock lock(classes->getProfilingSession(), IM_CLASS);
    const jobject fields[7] = {f1, f2, f3, f4, f5, f6, f7};
    if (!env->ExceptionCheck() && !keepPolicyClass(env, type, method, fields)) {
        env->ExceptionClear();
        MessageUtil::message("The recorder's policy class lacks its method or fields; no policies.");
        return;
    }
    Recorder::instance().updatePolicies(classes->getMethods(), classes->getAnnotationClassData(), classes->getCumulationClassData(),
                                        [env](bool annotationMethod, const char *name, Recorder::Policy *out) {
                                            return askPolicy(env, annotationMethod, name, out);
                                        });
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCallee_setNativeCobaltRecording0(JNIEnv *env, jclass,
                                                                                                       jboolean on,
                                                                                                       jlongArray ids)
{
    if (liveSession() == nullptr)
        return;
    std::vector<jlong> values;
    if (ids != nullptr) {
        values.resize(static_cast<size_t>(env->GetArrayLength(ids)));
        if (!values.empty())
            env->GetLongArrayRegion(ids, 0, static_cast<jsize>(values.size()), values.data());
    }
    std::vector<int64_t> wide(values.begin(), values.end());
    Recorder::instance().setRecording(on != JNI_FALSE, collectRecorderMethodIds(wide.data(), wide.size()),
                                      LiveProfiling::instance().getCpuSession());
}
