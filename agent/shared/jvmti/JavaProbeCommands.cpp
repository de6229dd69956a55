#include "JavaProbeCommands.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "DataReader.h"
#include "DataWriter.h"
#include "MessageUtil.h"
#include "ProbeTempFile.h"

namespace {

const char *const HANDLER_CLASS = "com/orvane/agent/probe/AnnotationHandler";
// The Java side tells the two byte strings it keeps apart by the numbers of
// the commands that set them.
const jint SETTINGS_COMMAND = 87;
const jint RECORDING_COMMAND = 90;
const int CHUNK = 8192;

ProbeTempFile probeFile;

} // namespace

// The handler class and one of its static methods; null (the exception
// cleared, a line said) when the agent's Java side lacks it.
jmethodID JavaProbeCommands::handlerMethod(JNIEnv *env, jclass *handler, const char *name, const char *signature)
{
    *handler = env->FindClass(HANDLER_CLASS);
    if (*handler == nullptr) {
        env->ExceptionClear();
        MessageUtil::message("%s is missing", HANDLER_CLASS);
        return nullptr;
    }
    jmethodID method = env->GetStaticMethodID(*handler, name, signature);
    if (method == nullptr) {
        env->ExceptionClear();
        MessageUtil::message("%s.%s%s is missing", HANDLER_CLASS, name, signature);
        env->DeleteLocalRef(*handler);
        *handler = nullptr;
    }
    return method;
}

jbyteArray JavaProbeCommands::byteArray(JNIEnv *env, const void *data, size_t length)
{
    jbyteArray array = env->NewByteArray(static_cast<jsize>(length));
    if (array == nullptr) {
        env->ExceptionClear();
        MessageUtil::message("ERROR: could not allocate array");
        return nullptr;
    }
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(length), static_cast<const jbyte *>(data));
    return array;
}

// Byte 1 and the probe data file's bytes; byte 0 (and a line) when it cannot be read.
bool JavaProbeCommands::copyProbeFile(const std::string &path, DataWriter *writer)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        MessageUtil::message("ERROR: Could not open probe temp file.");
        writer->writeByte(0);
        return false;
    }
    writer->writeByte(1);
    char chunk[CHUNK];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        writer->writeBuffered(chunk, static_cast<int>(n));
    fclose(file);
    return true;
}

std::string JavaProbeCommands::prepareProbeFile()
{
    return probeFile.prepare();
}

namespace {

using Probes = JavaProbeCommands;

// U4 size and the bytes, handed to the Java side as they are.
void setProbeBytes(JNIEnv *env, jint which, DataReader *reader)
{
    int32_t size = static_cast<int32_t>(reader->readU4(0));
    if (reader->getError() || size <= 0)
        return;
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (reader->readFully(bytes.data(), size) != size || env == nullptr)
        return;
    jclass handler = nullptr;
    jmethodID set = Probes::handlerMethod(env, &handler, "setProbeRecording", "(I[B)V");
    if (set == nullptr)
        return;
    if (jbyteArray array = Probes::byteArray(env, bytes.data(), bytes.size())) {
        env->CallStaticVoidMethod(handler, set, which, array);
        env->ExceptionClear();
        env->DeleteLocalRef(array);
    }
    env->DeleteLocalRef(handler);
}

// U4 length and the bytes of a Java array (its local reference released);
// U4 0 for none.
void writeLengthAndBytes(JNIEnv *env, jbyteArray bytes, DataWriter *writer)
{
    if (bytes == nullptr) {
        writer->writeU4(0);
        return;
    }
    jsize length = env->GetArrayLength(bytes);
    std::vector<jbyte> data(static_cast<size_t>(length));
    env->GetByteArrayRegion(bytes, 0, length, data.data());
    env->DeleteLocalRef(bytes);
    writer->writeU4(static_cast<uint32_t>(length));
    writer->writeBuffered(data.data(), length);
}

} // namespace

void JavaProbeCommands::handleCmdProbeDescriptions(JNIEnv *env, DataWriter *writer)
{
    jclass handler = nullptr;
    jmethodID get = env != nullptr ? Probes::handlerMethod(env, &handler, "getMetaData", "(Lcom/orvane/agent/probe/JavaCollector;Z)[B") : nullptr;
    jbyteArray bytes = nullptr;
    if (get != nullptr) {
        bytes = static_cast<jbyteArray>(env->CallStaticObjectMethod(handler, get, nullptr, JNI_TRUE));
        env->ExceptionClear();
        env->DeleteLocalRef(handler);
    }
    writeLengthAndBytes(env, bytes, writer);
}

void JavaProbeCommands::handleCmdProbeTelemetry(JNIEnv *env, DataWriter *writer)
{
    std::string path = env != nullptr ? Probes::prepareProbeFile() : std::string();
    jclass handler = nullptr;
    jmethodID get = path.empty() ? nullptr : Probes::handlerMethod(env, &handler, "getTelemetryData", "(Lcom/orvane/agent/probe/JavaCollector;[B)Z");
    bool written = false;
    if (get != nullptr) {
        if (jbyteArray name = Probes::byteArray(env, path.c_str(), path.size())) {
            written = env->CallStaticBooleanMethod(handler, get, nullptr, name) == JNI_TRUE;
            env->ExceptionClear();
            env->DeleteLocalRef(name);
        }
        env->DeleteLocalRef(handler);
    }
    struct stat st;
    if (!written || stat(path.c_str(), &st) != 0 || st.st_size == 0) {
        writer->writeByte(0);
        return;
    }
    Probes::copyProbeFile(path, writer);
}

void JavaProbeCommands::handleCmdProbeSettings(JNIEnv *env, DataReader *reader)
{
    setProbeBytes(env, SETTINGS_COMMAND, reader);
}

void JavaProbeCommands::handleCmdProbeRecording(JNIEnv *env, DataReader *reader)
{
    setProbeBytes(env, RECORDING_COMMAND, reader);
}

void JavaProbeCommands::writeProbeRecording(JNIEnv *env, DataWriter *writer)
{
    jclass handler = nullptr;
    jmethodID get = env != nullptr ? handlerMethod(env, &handler, "getProbeRecording", "()[B") : nullptr;
    jbyteArray bytes = nullptr;
    if (get != nullptr) {
        bytes = static_cast<jbyteArray>(env->CallStaticObjectMethod(handler, get));
        env->ExceptionClear();
        env->DeleteLocalRef(handler);
    }
    writeLengthAndBytes(env, bytes, writer);
}
