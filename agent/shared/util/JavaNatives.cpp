#include "JavaNatives.h"

#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "ClassProfilingSession.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "InternalMonitor.h"
#include "LiveSamplerSession.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "SamplerSession.h"
#include "SessionConfig.h"
#include "SessionLock.h"

namespace {

// Probe calls are recorded with dynamic instrumentation only; with
// sampling they are requests that the sampler puts above the stack.
const int COLLECTION_INSTRUMENTED = 1;
const int COLLECTION_SAMPLING = 3;

// The probe's name; false (the exception cleared) when the VM has no memory for it.
bool probeName(JNIEnv *env, jstring name, std::string *out)
{
    const char *chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr) {
        env->ExceptionClear();
        return false;
    }
    *out = chars;
    env->ReleaseStringUTFChars(name, chars);
    return true;
}

} // namespace

void JavaNatives::runnableSleep(long long millis)
{
    if (millis <= 0)
        return;
    sleep(static_cast<unsigned>(millis / 1000));
    usleep(static_cast<useconds_t>((millis % 1000) * 1000));
}

void JavaNatives::debugOut(JNIEnv *env, jstring text)
{
    if (text == nullptr)
        return;
    const char *chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr)
        return;
    MessageUtil::debugOut("%s", chars);
    env->ReleaseStringUTFChars(text, chars);
}

jint JavaNatives::storeSnapshotId(JNIEnv *env, jbyteArray bytes, jint value)
{
    if (bytes == nullptr || env->GetArrayLength(bytes) < 4) {
        MessageUtil::message("getSnapshotId: an array of at least 4 bytes is needed");
        return 0;
    }
    uint32_t v = static_cast<uint32_t>(value);
    jbyte host[4];
    static_assert(sizeof host == sizeof v, "four bytes");
    memcpy(host, &v, sizeof v);
    env->SetByteArrayRegion(bytes, 0, 4, host);
    return 4;
}

std::vector<std::string> JavaNatives::strings(JNIEnv *env, jobjectArray array)
{
    std::vector<std::string> list;
    if (array == nullptr)
        return list;
    jsize n = env->GetArrayLength(array);
    for (jsize i = 0; i < n; i++) {
        jstring s = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        if (s == nullptr)
            continue;
        const char *chars = env->GetStringUTFChars(s, nullptr);
        if (chars != nullptr) {
            list.push_back(chars);
            env->ReleaseStringUTFChars(s, chars);
        }
        env->DeleteLocalRef(s);
    }
    return list;
}

std::string JavaNatives::bytes(JNIEnv *env, jbyteArray array)
{
    if (array == nullptr)
        return std::string();
    jsize length = env->GetArrayLength(array);
    std::string text(static_cast<size_t>(length), '\0');
    if (length > 0)
        env->GetByteArrayRegion(array, 0, length, reinterpret_cast<jbyte *>(&text[0]));
    return text;
}

jlong JavaNatives::enterProbe(JNIEnv *env, CpuProfilingSession *cpu, ClassProfilingSession *classes, ThreadLookup thread, jstring name,
                              jboolean nested)
{
    if (cpu == nullptr || classes == nullptr || name == nullptr || nested == JNI_TRUE ||
        cpu->getSettings().collectionMethod != COLLECTION_INSTRUMENTED)
        return 0;
    LiveThreadManager *caller = thread(env, true);
    if (caller == nullptr || caller->getIgnored())
        return 0;
    std::string probe;
    if (!probeName(env, name, &probe))
        return 0;
    MethodDesc *method = classes->getAnnotationMethodDesc(probe.c_str());
    caller->enterProbe(method);
    return cpu->getMethodHandles().getHandle(method);
}

void JavaNatives::exitProbe(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jlong handle)
{
    if (cpu == nullptr || handle <= 0 || handle > INT32_MAX)
        return;
    MethodDesc *probe = cpu->getMethodHandles().lookup(static_cast<int32_t>(handle));
    LiveThreadManager *caller = thread(env, false);
    if (probe != nullptr && caller != nullptr)
        caller->exitProbe(probe);
}

jboolean JavaNatives::isProbeEnabled(const SessionConfig *config, jint type)
{
    return config != nullptr && config->isProbeEnabled(type) ? JNI_TRUE : JNI_FALSE;
}

void JavaNatives::fillAnnotationInfo(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jlongArray info, jboolean callSite)
{
    const jsize LONGS = 7;
    if (info == nullptr || env->GetArrayLength(info) < LONGS)
        return;
    jlong values[LONGS] = {0, 0, 0, 0, 0, 0, Counter::getUsec()};
    LiveThreadManager *caller = cpu != nullptr ? thread(env, false) : nullptr;
    if (caller != nullptr && !caller->getIgnored()) {
        // The front end names threads by their manager: only compared, never followed.
        values[1] = static_cast<jlong>(reinterpret_cast<intptr_t>(caller));
        long long totals[4];
        caller->fillAnnotationTotals(values[6], totals);
        for (int i = 0; i < 4; i++)
            values[2 + i] = totals[i];
        // Sampled trees belong to the sampler thread: their calls have no call site here.
        if (callSite == JNI_TRUE && cpu->isRecording() && cpu->getSettings().collectionMethod == COLLECTION_INSTRUMENTED)
            values[0] = caller->probeCallSiteId();
    }
    env->SetLongArrayRegion(info, 0, LONGS, values);
}

jlong JavaNatives::probeRequest(JNIEnv *env, CpuProfilingSession *cpu, ClassProfilingSession *classes, jstring name)
{
    if (cpu == nullptr || classes == nullptr || name == nullptr || cpu->getSettings().collectionMethod != COLLECTION_SAMPLING)
        return 0;
    std::string probe;
    if (!probeName(env, name, &probe))
        return 0;
    return cpu->getMethodHandles().getHandle(classes->getAnnotationMethodDesc(probe.c_str()));
}

void JavaNatives::registerThreadManager(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jobject self)
{
    LiveThreadManager *caller = cpu != nullptr ? thread(env, false) : nullptr;
    if (caller == nullptr || self == nullptr)
        return;
    SessionLock lock(cpu->getProfilingSession(), IM_THREAD);
    if (caller->javaThreadManager == nullptr && caller->threadHandle != nullptr)
        caller->javaThreadManager = env->NewGlobalRef(self);
}

std::vector<int32_t> JavaNatives::ints(JNIEnv *env, jintArray array)
{
    std::vector<int32_t> values;
    if (array == nullptr)
        return values;
    values.resize(static_cast<size_t>(env->GetArrayLength(array)));
    if (!values.empty())
        env->GetIntArrayRegion(array, 0, static_cast<jsize>(values.size()), reinterpret_cast<jint *>(values.data()));
    return values;
}

std::string JavaNatives::text(JNIEnv *env, jstring s, const char *absent)
{
    if (s == nullptr)
        return absent;
    const char *chars = env->GetStringUTFChars(s, nullptr);
    if (chars == nullptr) {
        env->ExceptionClear();
        return absent;
    }
    std::string result = chars;
    env->ReleaseStringUTFChars(s, chars);
    return result;
}

jint JavaNatives::storeConfig(JNIEnv *env, const SessionConfig *config, jobjectArray result)
{
    if (config == nullptr)
        return 0;
    const char *xml = nullptr;
    const char *path = nullptr;
    int id = 0;
    config->getXmlConfig(&xml, &path, &id);
    if (result == nullptr || env->GetArrayLength(result) < 2) {
        MessageUtil::message("getConfig: an array of two elements is needed");
        return id;
    }
    jbyteArray pathBytes = nullptr;
    if (path != nullptr) {
        jsize length = static_cast<jsize>(strlen(path));
        pathBytes = env->NewByteArray(length);
        if (pathBytes == nullptr) {
            env->ExceptionClear();
            return id;
        }
        env->SetByteArrayRegion(pathBytes, 0, length, reinterpret_cast<const jbyte *>(path));
    }
    jstring xmlText = xml != nullptr ? env->NewStringUTF(xml) : nullptr;
    if (xml != nullptr && xmlText == nullptr)
        env->ExceptionClear();
    env->SetObjectArrayElement(result, 0, pathBytes);
    env->SetObjectArrayElement(result, 1, xmlText);
    if (env->ExceptionCheck())
        env->ExceptionClear();
    return id;
}

void JavaNatives::addBookmark(JNIEnv *env, SamplerSession *sampler, jstring s)
{
    if (sampler != nullptr)
        sampler->addBookmark(Counter::getUsec(), text(env, s, "").c_str());
}

void JavaNatives::initDescriptions(JNIEnv *env, jobjectArray names, jintArray types, jlongArray values, SamplerLookup lookup,
                                   SessionAlive alive)
{
    if (names == nullptr || types == nullptr || values == nullptr)
        return;
    jsize count = env->GetArrayLength(names);
    if (env->GetArrayLength(types) < count || env->GetArrayLength(values) < count)
        return;
    std::vector<std::string> texts;
    for (jsize i = 0; i < count; i++) {
        jstring name = static_cast<jstring>(env->GetObjectArrayElement(names, i));
        texts.push_back(text(env, name, "[unknown]"));
        if (name != nullptr)
            env->DeleteLocalRef(name);
    }
    std::vector<int> typeValues(static_cast<size_t>(count));
    std::vector<long long> longValues(static_cast<size_t>(count));
    std::vector<const char *> nameValues;
    for (const std::string &t : texts)
        nameValues.push_back(t.c_str());
    if (count > 0) {
        env->GetIntArrayRegion(types, 0, count, reinterpret_cast<jint *>(typeValues.data()));
        env->GetLongArrayRegion(values, 0, count, reinterpret_cast<jlong *>(longValues.data()));
    }
    LiveSamplerSession *sampler = nullptr;
    while ((sampler = lookup()) == nullptr && alive())
        usleep(100 * 1000);
    if (sampler != nullptr)
        sampler->addTelemetryDescriptions(typeValues.data(), nameValues.data(), longValues.data(), count);
}

void JavaNatives::setCpuRecording(CpuProfilingSession *cpu, bool on, bool reset)
{
    if (cpu == nullptr)
        return;
    if (on && reset && !cpu->isRecording())
        cpu->resetAnnotations();
    cpu->setCpuRecord(on, on && reset);
}

void JavaNatives::setMonitorRecording(CpuProfilingSession *cpu, bool on, jint blockThreshold, jint waitThreshold)
{
    if (cpu != nullptr)
        cpu->setMonitorRecording(on, blockThreshold, waitThreshold);
}
