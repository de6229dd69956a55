#include "LiveProbeCommands.h"

#include <cstdio>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "AnnotationBytes.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "JavaProbeCommands.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveProfiling.h"
#include "MessageUtil.h"
#include "PayloadHotspots.h"
#include "ProbeData.h"

namespace {

const char *const HOTSPOTS_CLASS = "com/orvane/agent/probe/PayloadHotspots";

} // namespace

void LiveProbeCommands::handleCmdProbeTupleData(JNIEnv *env, DataReader *reader, DataWriter *writer)
{
    char *name = reader->readString(nullptr);
    std::string probe = name != nullptr ? name : "";
    delete[] name;
    writer->writeString(probe.c_str());
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    ClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    if (env == nullptr || reader->getError() || cpu == nullptr || classes == nullptr || env->PushLocalFrame(16) != 0) {
        writer->writeByte(0);
        return;
    }
    std::string path = JavaProbeCommands::prepareProbeFile();
    jclass handler = nullptr;
    jmethodID get = path.empty() ? nullptr
                                 : JavaProbeCommands::handlerMethod(env, &handler, "getTupleData",
                                                 "(Lcom/orvane/agent/probe/JavaCollector;Ljava/lang/String;[B)[Ljava/lang/Object;");
    jobjectArray result = nullptr;
    if (get != nullptr) {
        jstring jname = env->NewStringUTF(probe.c_str());
        jbyteArray file = JavaProbeCommands::byteArray(env, path.c_str(), path.size());
        if (jname != nullptr && file != nullptr)
            result = static_cast<jobjectArray>(env->CallStaticObjectMethod(handler, get, nullptr, jname, file));
        env->ExceptionClear();
    }
    std::set<uint32_t> ids;
    std::vector<jlong> handles;
    if (result != nullptr && env->GetArrayLength(result) >= 2) {
        jintArray idArray = static_cast<jintArray>(env->GetObjectArrayElement(result, 0));
        jlongArray threadArray = static_cast<jlongArray>(env->GetObjectArrayElement(result, 1));
        if (idArray != nullptr) {
            std::vector<jint> values(static_cast<size_t>(env->GetArrayLength(idArray)));
            env->GetIntArrayRegion(idArray, 0, static_cast<jsize>(values.size()), values.data());
            for (jint v : values)
                ids.insert(static_cast<uint32_t>(v));
        }
        if (threadArray != nullptr) {
            handles.resize(static_cast<size_t>(env->GetArrayLength(threadArray)));
            env->GetLongArrayRegion(threadArray, 0, static_cast<jsize>(handles.size()), handles.data());
        }
    }
    env->PopLocalFrame(nullptr);
    struct stat st;
    if (result == nullptr || stat(path.c_str(), &st) != 0 || st.st_size == 0) {
        writer->writeByte(0);
        return;
    }
    if (!JavaProbeCommands::copyProbeFile(path, writer))
        return;
    // The handles name live managers; trees of dead threads come back from their store.
    std::vector<const void *> threads;
    for (jlong h : handles)
        threads.push_back(reinterpret_cast<const void *>(static_cast<intptr_t>(h)));
    cpu->withThreadTrees(threads, [&](const std::vector<const CallStackTree *> &roots) { ProbeData::writeCallSites(writer, roots, ids); });
    classes->writeMethodDescriptions(writer, true);
    classes->writeClassDescriptions(writer, true);
}

namespace {

// The Java side's probe hotspots (the singleton of
// com.orvane.agent.probe.PayloadHotspots), called on the command thread.
// View nodes cross as the ids of ProbeNodeIds.
class JavaPayloadHotspots : public PayloadHotspots {
public:
    void reset(bool all) override
    {
        call("reset", "(Lcom/orvane/agent/probe/JavaCollector;Z)V", [all](JNIEnv *env, jobject self, jmethodID m) {
            env->CallVoidMethod(self, m, nullptr, all ? JNI_TRUE : JNI_FALSE);
        });
    }

    void addPayload(const std::string &probe, long long nodeId, const std::vector<long long> &ids) override
    {
        call("addPayload", "(Lcom/orvane/agent/probe/JavaCollector;Ljava/lang/String;J[J)V",
             [&](JNIEnv *env, jobject self, jmethodID m) {
                 jstring name = env->NewStringUTF(probe.c_str());
                 jlongArray array = longArray(env, ids);
                 if (name != nullptr && array != nullptr)
                     env->CallVoidMethod(self, m, nullptr, name, static_cast<jlong>(nodeId), array);
             });
    }

    void addUnrecorded(const std::string &probe, const std::vector<long long> &threads, bool all) override
    {
        call("addUnrecorded", "(Lcom/orvane/agent/probe/JavaCollector;Ljava/lang/String;[J)V",
             [&](JNIEnv *env, jobject self, jmethodID m) {
                 jstring name = env->NewStringUTF(probe.c_str());
                 jlongArray array = all ? nullptr : longArray(env, threads);
                 if (name != nullptr)
                     env->CallVoidMethod(self, m, nullptr, name, array);
             });
    }

    bool getHotspotRootsBytes(int valueKind, std::vector<unsigned char> *bytes) override
    {
        bool got = false;
        call("getHotspotRootsBytes", "(I)[B", [&](JNIEnv *env, jobject self, jmethodID m) {
            jbyteArray array = static_cast<jbyteArray>(env->CallObjectMethod(self, m, static_cast<jint>(valueKind)));
            if (array == nullptr || env->ExceptionCheck())
                return;
            bytes->resize(static_cast<size_t>(env->GetArrayLength(array)));
            env->GetByteArrayRegion(array, 0, static_cast<jsize>(bytes->size()), reinterpret_cast<jbyte *>(bytes->data()));
            got = true;
        });
        return got;
    }

    bool getHotspotOrigins(int hotspot, int valueKind, Origins *origins) override
    {
        bool got = false;
        call("getHotspotOrigins", "(II)[[J", [&](JNIEnv *env, jobject self, jmethodID m) {
            jobjectArray arrays =
                static_cast<jobjectArray>(env->CallObjectMethod(self, m, static_cast<jint>(hotspot), static_cast<jint>(valueKind)));
            // Three arrays: nodes, times, counts; anything else names no origins.
            if (arrays == nullptr || env->ExceptionCheck() || env->GetArrayLength(arrays) != 3)
                return;
            std::vector<long long> *targets[3] = {&origins->nodes, &origins->times, &origins->counts};
            for (jsize i = 0; i < 3; i++) {
                jlongArray a = static_cast<jlongArray>(env->GetObjectArrayElement(arrays, i));
                if (a == nullptr)
                    return;
                std::vector<jlong> values(static_cast<size_t>(env->GetArrayLength(a)));
                env->GetLongArrayRegion(a, 0, static_cast<jsize>(values.size()), values.data());
                targets[i]->assign(values.begin(), values.end());
            }
            got = true;
        });
        return got;
    }

private:
    static jlongArray longArray(JNIEnv *env, const std::vector<long long> &values)
    {
        jlongArray array = env->NewLongArray(static_cast<jsize>(values.size()));
        if (array == nullptr)
            return nullptr;
        std::vector<jlong> copy(values.begin(), values.end());
        env->SetLongArrayRegion(array, 0, static_cast<jsize>(copy.size()), copy.data());
        return array;
    }

    // Runs `body` with the singleton and the method inside a local frame; a
    // missing class or method says so once per call and does nothing.
    template <class Body>
    void call(const char *name, const char *signature, Body body)
    {
        JNIEnv *env = nullptr;
        JavaVM *vm = LiveProfiling::instance().vm;
        if (vm == nullptr || vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK || env == nullptr)
            return;
        if (env->PushLocalFrame(16) != 0) {
            env->ExceptionClear();
            return;
        }
        jclass type = env->FindClass(HOTSPOTS_CLASS);
        jmethodID singleton =
            type != nullptr ? env->GetStaticMethodID(type, "getPayloadHotspots", "()Lcom/orvane/agent/probe/PayloadHotspots;") : nullptr;
        jobject self = singleton != nullptr ? env->CallStaticObjectMethod(type, singleton) : nullptr;
        jmethodID method = self != nullptr ? env->GetMethodID(type, name, signature) : nullptr;
        if (method == nullptr) {
            env->ExceptionClear();
            MessageUtil::message("%s.%s%s is missing", HOTSPOTS_CLASS, name, signature);
        } else {
            body(env, self, method);
            env->ExceptionClear();
        }
        env->PopLocalFrame(nullptr);
    }
};

JavaPayloadHotspots javaPayloadHotspots;

// The Java side's bytes for the probe payloads behind a tree node's
// annotation ids (AnnotationHandler.getBytes), on the command thread.
class JavaAnnotationBytes : public AnnotationBytes {
public:
    bool getBytes(const std::vector<long long> &ids, std::vector<unsigned char> *bytes) override
    {
        JNIEnv *env = nullptr;
        JavaVM *vm = LiveProfiling::instance().vm;
        if (vm == nullptr || vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK || env == nullptr)
            return false;
        if (env->PushLocalFrame(8) != 0) {
            env->ExceptionClear();
            return false;
        }
        bool got = false;
        jclass handler = nullptr;
        jmethodID get = JavaProbeCommands::handlerMethod(env, &handler, "getBytes", "(Lcom/orvane/agent/probe/JavaCollector;[J)[B");
        jlongArray array = get != nullptr ? env->NewLongArray(static_cast<jsize>(ids.size())) : nullptr;
        if (array != nullptr) {
            std::vector<jlong> copy(ids.begin(), ids.end());
            env->SetLongArrayRegion(array, 0, static_cast<jsize>(copy.size()), copy.data());
            jbyteArray result = static_cast<jbyteArray>(env->CallStaticObjectMethod(handler, get, nullptr, array));
            if (result != nullptr && !env->ExceptionCheck()) {
                bytes->resize(static_cast<size_t>(env->GetArrayLength(result)));
                env->GetByteArrayRegion(result, 0, static_cast<jsize>(bytes->size()), reinterpret_cast<jbyte *>(bytes->data()));
                got = true;
            }
        }
        env->ExceptionClear();
        env->PopLocalFrame(nullptr);
        return got;
    }

    void reset() override
    {
        JNIEnv *env = nullptr;
        JavaVM *vm = LiveProfiling::instance().vm;
        if (vm == nullptr || vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK || env == nullptr)
            return;
        jclass handler = nullptr;
        jmethodID reset = JavaProbeCommands::handlerMethod(env, &handler, "reset", "()V");
        if (reset == nullptr)
            return;
        env->CallStaticVoidMethod(handler, reset);
        env->ExceptionClear();
        env->DeleteLocalRef(handler);
    }

    // AnnotationHandler.moveAnnotations(from, to, add), on the thread whose
    // run was merged.
    void moveAnnotations(const std::vector<std::pair<long long, long long>> &pairs, bool add) override
    {
        JNIEnv *env = nullptr;
        JavaVM *vm = LiveProfiling::instance().vm;
        if (vm == nullptr || vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK || env == nullptr)
            return;
        if (env->PushLocalFrame(8) != 0) {
            env->ExceptionClear();
            return;
        }
        jclass handler = nullptr;
        jmethodID move = JavaProbeCommands::handlerMethod(env, &handler, "moveAnnotations", "([J[JZ)V");
        jsize n = static_cast<jsize>(pairs.size());
        jlongArray from = move != nullptr ? env->NewLongArray(n) : nullptr;
        jlongArray to = from != nullptr ? env->NewLongArray(n) : nullptr;
        if (to != nullptr) {
            std::vector<jlong> first;
            std::vector<jlong> second;
            for (const std::pair<long long, long long> &p : pairs) {
                first.push_back(p.first);
                second.push_back(p.second);
            }
            env->SetLongArrayRegion(from, 0, n, first.data());
            env->SetLongArrayRegion(to, 0, n, second.data());
            env->CallStaticVoidMethod(handler, move, from, to, add ? JNI_TRUE : JNI_FALSE);
        }
        env->ExceptionClear();
        env->PopLocalFrame(nullptr);
    }

    // Agent.setTracking(id) for each id, then once with -1: the list is whole.
    void setTracking(const std::vector<int> &ids) override
    {
        JNIEnv *env = nullptr;
        LiveProfiling &edge = LiveProfiling::instance();
        if (edge.vm == nullptr || edge.vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK || env == nullptr)
            return;
        jclass agent = env->FindClass("com/orvane/agent/Agent");
        jmethodID set = agent != nullptr ? env->GetStaticMethodID(agent, "setTracking", "(I)V") : nullptr;
        if (set == nullptr) {
            env->ExceptionClear();
            MessageUtil::message("com/orvane/agent/Agent.setTracking(I)V is missing");
            if (agent != nullptr)
                env->DeleteLocalRef(agent);
            return;
        }
        for (int id : ids) {
            env->CallStaticVoidMethod(agent, set, static_cast<jint>(id));
            env->ExceptionClear();
        }
        env->CallStaticVoidMethod(agent, set, static_cast<jint>(-1));
        env->ExceptionClear();
        env->DeleteLocalRef(agent);
    }
};

JavaAnnotationBytes javaAnnotationBytes;

} // namespace

void LiveProbeCommands::configurationApplied(JNIEnv *env)
{
    if (env == nullptr)
        return;
    jclass handler = nullptr;
    jmethodID update = JavaProbeCommands::handlerMethod(env, &handler, "updateSwitches", "()V");
    if (update == nullptr)
        return;
    env->CallStaticVoidMethod(handler, update);
    env->ExceptionClear();
    env->DeleteLocalRef(handler);
}

PayloadHotspots *LiveProbeCommands::payloadHotspots()
{
    return &javaPayloadHotspots;
}

AnnotationBytes *LiveProbeCommands::annotationBytes()
{
    return &javaAnnotationBytes;
}
