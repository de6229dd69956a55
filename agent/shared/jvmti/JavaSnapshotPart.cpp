#include "JavaSnapshotPart.h"

#include <cstdio>
#include <unistd.h>

#include "DataWriter.h"
#include "MessageUtil.h"
#include "TempFiles.h"

JavaSnapshotPart::JavaSnapshotPart(JNIEnv *jniEnv, jobjectArray javaArguments) : env(jniEnv), arguments(javaArguments), handler(nullptr)
{
    if (env == nullptr)
        return;
    handler = env->FindClass("com/orvane/agent/probe/AnnotationHandler");
    if (handler == nullptr)
        env->ExceptionClear();
}

JavaSnapshotPart::~JavaSnapshotPart()
{
    if (!path.empty())
        unlink(path.c_str());
    if (handler != nullptr)
        env->DeleteLocalRef(handler);
}

jmethodID JavaSnapshotPart::method(const char *name, const char *signature)
{
    if (handler == nullptr)
        return nullptr;
    jmethodID id = env->GetStaticMethodID(handler, name, signature);
    if (id == nullptr)
        env->ExceptionClear();
    return id;
}

bool JavaSnapshotPart::clearException()
{
    if (!env->ExceptionCheck())
        return false;
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

void JavaSnapshotPart::startSave(bool recorder)
{
    jmethodID start = method("startSave", "([BZ[Ljava/lang/String;)V");
    if (start == nullptr)
        return;
    int fd = TempFiles::createFile("ovs", path);
    if (fd < 0) {
        MessageUtil::message("Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
        return;
    }
    close(fd);
    jbyteArray name = env->NewByteArray(static_cast<jsize>(path.size()));
    if (name == nullptr) {
        clearException();
        return;
    }
    env->SetByteArrayRegion(name, 0, static_cast<jsize>(path.size()), reinterpret_cast<const jbyte *>(path.data()));
    // The Java side takes a String[]: any other array would break its types.
    jobjectArray strings = nullptr;
    jclass stringArray = arguments != nullptr ? env->FindClass("[Ljava/lang/String;") : nullptr;
    if (stringArray != nullptr && env->IsInstanceOf(arguments, stringArray))
        strings = arguments;
    clearException();
    if (stringArray != nullptr)
        env->DeleteLocalRef(stringArray);
    env->CallStaticVoidMethod(handler, start, name, recorder ? JNI_TRUE : JNI_FALSE, strings);
    clearException();
    env->DeleteLocalRef(name);
}

void JavaSnapshotPart::savePayloads(bool save)
{
    jmethodID payloads = method("savePayloads", "(Z)V");
    if (payloads == nullptr)
        return;
    env->CallStaticVoidMethod(handler, payloads, save ? JNI_TRUE : JNI_FALSE);
    clearException();
}

bool JavaSnapshotPart::probeMetaData(std::vector<unsigned char> *bytes)
{
    jmethodID get = method("getMetaData", "(Lcom/orvane/agent/probe/JavaCollector;Z)[B");
    if (get == nullptr)
        return false;
    jbyteArray array = static_cast<jbyteArray>(env->CallStaticObjectMethod(handler, get, nullptr, JNI_TRUE));
    if (clearException() || array == nullptr)
        return false;
    bytes->resize(static_cast<size_t>(env->GetArrayLength(array)));
    env->GetByteArrayRegion(array, 0, static_cast<jsize>(bytes->size()), reinterpret_cast<jbyte *>(bytes->data()));
    env->DeleteLocalRef(array);
    return !bytes->empty();
}

void JavaSnapshotPart::finishSave(DataWriter *writer)
{
    jmethodID finish = method("finishSave", "()Z");
    bool written = false;
    if (finish != nullptr) {
        written = env->CallStaticBooleanMethod(handler, finish) != JNI_FALSE;
        if (clearException())
            written = false;
    }
    if (written && !path.empty()) {
        FILE *file = fopen(path.c_str(), "rb");
        if (file == nullptr) {
            MessageUtil::message("ERROR: Could not open annotation temp file.");
            return;
        }
        char block[COPY_BLOCK];
        size_t n;
        size_t total = 0;
        while ((n = fread(block, 1, sizeof block, file)) > 0) {
            writer->writeBuffered(block, static_cast<int>(n));
            total += n;
        }
        fclose(file);
        if (total > 0)
            return;
    }
    writeEmptyPart(writer);
}
