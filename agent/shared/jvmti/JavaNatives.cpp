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
#include "MethodDesc.h"
#include "Recorder.h"
#include "RecorderMethodIds.h"
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

// The recorder's policy class and its members, kept from the first policy
// update on.
struct PolicyClass {
    jclass type = nullptr;
    jmethodID policy = nullptr;
    jfieldID fields[7] = {};
};
PolicyClass policyClass;

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
        (cpu->getSettings().collectionMethod != COLLECTION_INSTRUMENTED && !Recorder::recordsNow()))
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

bool JavaNatives::utf(JNIEnv *env, jstring text, std::string *out)
{
    if (text == nullptr)
        return false;
    const char *chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
        env->ExceptionClear();
        return false;
    }
    *out = chars;
    env->ReleaseStringUTFChars(text, chars);
    return true;
}

jobjectArray JavaNatives::stringArray(JNIEnv *env, const std::vector<std::string> &names)
{
    if (names.empty())
        return nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        env->ExceptionClear();
        return nullptr;
    }
    jobjectArray result = env->NewObjectArray(static_cast<jsize>(names.size()), stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (result == nullptr) {
        env->ExceptionClear();
        return nullptr;
    }
    for (size_t i = 0; i < names.size(); i++) {
        jstring name = env->NewStringUTF(names[i].c_str());
        if (name == nullptr) {
            env->ExceptionClear();
            env->DeleteLocalRef(result);
            return nullptr;
        }
        env->SetObjectArrayElement(result, static_cast<jsize>(i), name);
        env->DeleteLocalRef(name);
    }
    return result;
}

void JavaNatives::setRecorderRecording(JNIEnv *env, jboolean on, jlongArray ids, CpuProfilingSession *cpu)
{
    std::vector<jlong> values;
    if (ids != nullptr) {
        values.resize(static_cast<size_t>(env->GetArrayLength(ids)));
        if (!values.empty())
            env->GetLongArrayRegion(ids, 0, static_cast<jsize>(values.size()), values.data());
    }
    std::vector<int64_t> wide(values.begin(), values.end());
    Recorder::instance().setRecording(on != JNI_FALSE, collectRecorderMethodIds(wide.data(), wide.size()), cpu);
}

void JavaNatives::updateRecorderPolicies(JNIEnv *env, ClassProfilingSession *classes, const ClassData *cumulation, jclass type,
                                         jobject method, const jobject fields[7])
{
    SessionLock lock(classes->getProfilingSession(), IM_CLASS);
    if (!env->ExceptionCheck() && !keepPolicyClass(env, type, method, fields)) {
        env->ExceptionClear();
        MessageUtil::message("The recorder's policy class lacks its method or fields; no policies.");
        return;
    }
    Recorder::instance().updatePolicies(classes->getMethods(), classes->getAnnotationClassData(), cumulation,
                                        [env](bool annotationMethod, const char *name, Recorder::Policy *out) {
                                            return askPolicy(env, annotationMethod, name, out);
                                        });
}

jbyteArray JavaNatives::transformClass(JNIEnv *env, jbyteArray bytes, jintArray out, const Rewrite &rewrite)
{
    if (bytes == nullptr)
        return nullptr;
    jsize length = env->GetArrayLength(bytes);
    jbyte *elements = env->GetByteArrayElements(bytes, nullptr);
    if (elements == nullptr) {
        env->ExceptionClear();
        return nullptr;
    }
    unsigned char *result = nullptr;
    int resultLength = 0;
    int kind = rewrite(reinterpret_cast<const unsigned char *>(elements), length, &result, &resultLength);
    env->ReleaseByteArrayElements(bytes, elements, JNI_ABORT);
    if (kind > 0 && out != nullptr && env->GetArrayLength(out) > 0) {
        jint value = kind;
        env->SetIntArrayRegion(out, 0, 1, &value);
    }
    if (result == nullptr)
        return nullptr;
    jbyteArray changed = env->NewByteArray(resultLength);
    if (changed == nullptr) {
        // Out of memory: the class stays as it was rather than failing to load.
        env->ExceptionClear();
        MessageUtil::message("ERROR: could not allocate %d bytes for a rewritten class; it stays unchanged.", resultLength);
    } else {
        env->SetByteArrayRegion(changed, 0, resultLength, reinterpret_cast<const jbyte *>(result));
    }
    delete[] result;
    return changed;
}

jstring JavaNatives::methodName(JNIEnv *env, CpuProfilingSession *cpu, jint id)
{
    if (cpu == nullptr || id == 0)
        return nullptr;
    MethodDesc *method = cpu->getMethodHandles().lookup(id);
    if (method == nullptr || method->getMethodName() == nullptr)
        return nullptr;
    jstring name = env->NewStringUTF(method->getMethodName());
    if (name == nullptr)
        env->ExceptionClear();
    return name;
}

bool JavaNatives::readProbeMethods(JNIEnv *env, jobjectArray methods, jintArray values, jintArray flags, jint id, ProbeMethods *out)
{
    if (id == 0 || methods == nullptr || values == nullptr || flags == nullptr)
        return false;
    jsize count = env->GetArrayLength(methods);
    if (env->GetArrayLength(values) < count || env->GetArrayLength(flags) < count) {
        MessageUtil::message("probe %d: fewer values or flags than methods, nothing registered", static_cast<int>(id));
        return false;
    }
    std::vector<jint> valueList(static_cast<size_t>(count)), flagList(static_cast<size_t>(count));
    if (count > 0) {
        env->GetIntArrayRegion(values, 0, count, valueList.data());
        env->GetIntArrayRegion(flags, 0, count, flagList.data());
    }
    for (jsize i = 0; i < count; i++) {
        jobjectArray row = static_cast<jobjectArray>(env->GetObjectArrayElement(methods, i));
        if (row == nullptr)
            continue;
        if (env->GetArrayLength(row) < 3) {
            env->DeleteLocalRef(row);
            continue;
        }
        std::array<std::string, 3> texts;
        std::array<bool, 3> present;
        for (jsize k = 0; k < 3; k++) {
            jstring s = static_cast<jstring>(env->GetObjectArrayElement(row, k));
            present[static_cast<size_t>(k)] = s != nullptr;
            utf(env, s, &texts[static_cast<size_t>(k)]);
            if (s != nullptr)
                env->DeleteLocalRef(s);
        }
        env->DeleteLocalRef(row);
        out->texts.push_back(texts);
        out->present.push_back(present);
        out->values.push_back(valueList[static_cast<size_t>(i)]);
        out->flags.push_back(flagList[static_cast<size_t>(i)]);
    }
    return true;
}

void JavaNatives::reportWrongLibrary()
{
    MessageUtil::message("A different instance of the native library has been");
    MessageUtil::message("loaded. Please check the appropriate environment");
    MessageUtil::message("variable. (PATH, LD_LIBRARY_PATH, DYLD_LIBRARY_PATH)");
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
    std::string result;
    return utf(env, s, &result) ? result : std::string(absent);
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

void JavaNatives::enterExceptionalMethod(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread)
{
    if (cpu == nullptr || cpu->getProfilingSession()->getCallTreeCollectionMethod() != 1)
        return;
    if (LiveThreadManager *caller = thread(env, true))
        caller->enterExceptionalMethod();
}

void JavaNatives::setOverrideThreadStatus(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jint status)
{
    if (LiveThreadManager *caller = cpu != nullptr ? thread(env, false) : nullptr)
        caller->setOverrideThreadStatus(status, Counter::getUsec());
}

void JavaNatives::resetOverrideThreadStatus(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread)
{
    if (LiveThreadManager *caller = cpu != nullptr ? thread(env, false) : nullptr)
        caller->resetOverrideThreadStatus(Counter::getUsec());
}

jobject JavaNatives::callSite(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread)
{
    LiveThreadManager *caller = cpu != nullptr ? thread(env, false) : nullptr;
    if (caller == nullptr || caller->getIgnored())
        return nullptr;
    MethodDesc *method = nullptr;
    long long id = caller->currentCallSite(&method);
    if (id == 0)
        return nullptr;
    jclass site = env->FindClass("com/orvane/agent/probe/AnnotationHandler$CallSite");
    jmethodID make = site != nullptr ? env->GetMethodID(site, "<init>", "(IJ)V") : nullptr;
    if (make == nullptr) {
        env->ExceptionClear();
        MessageUtil::message("com/orvane/agent/probe/AnnotationHandler$CallSite(int, long) is missing");
        if (site != nullptr)
            env->DeleteLocalRef(site);
        return nullptr;
    }
    jlong handle = method != nullptr ? static_cast<jlong>(cpu->getMethodHandles().getHandle(method)) : 0;
    jobject result = env->NewObject(site, make, static_cast<jint>(id), handle);
    env->DeleteLocalRef(site);
    return result;
}
