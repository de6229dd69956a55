#include "JavaDataWriter.h"

#include <cstring>

#include "LiveProfiling.h"

namespace {
const char *const COMMUNICATION_CLASS = "com/orvane/agent/java/JavaCommunication";
}

JavaDataWriter::JavaDataWriter(JNIEnv *env, jobject javaCommunicator)
    : vm(nullptr), env(env), javaCommunicator(javaCommunicator), communicationClass(nullptr), writeMethod(nullptr), directBuffer(nullptr)
{
    env->GetJavaVM(&vm);
    jclass local = env->FindClass(COMMUNICATION_CLASS);
    if (local == nullptr)
        env->ExceptionClear();
    LiveProfiling::instance().requireFound(local, COMMUNICATION_CLASS);
    communicationClass = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    writeMethod = env->GetStaticMethodID(communicationClass, "write", "(Ljava/nio/ByteBuffer;I)V");
    if (writeMethod == nullptr)
        env->ExceptionClear();
    LiveProfiling::instance().requireFound(writeMethod, "JavaCommunication.write(ByteBuffer, int)");
    jobject buffer = env->NewDirectByteBuffer(staging, sizeof staging);
    if (buffer == nullptr)
        env->ExceptionClear();
    LiveProfiling::instance().requireFound(buffer, "direct buffer of the Java writer");
    directBuffer = env->NewGlobalRef(buffer);
    env->DeleteLocalRef(buffer);
}

JavaDataWriter::~JavaDataWriter()
{
    // The writer may be deleted on another thread than the one it served.
    void *current = nullptr;
    if (vm == nullptr || vm->GetEnv(&current, JNI_VERSION_1_4) != JNI_OK || current == nullptr)
        return;
    JNIEnv *here = static_cast<JNIEnv *>(current);
    here->DeleteGlobalRef(directBuffer);
    here->DeleteGlobalRef(communicationClass);
}

void JavaDataWriter::setJavaPointers(JNIEnv *newEnv, jobject newJavaCommunicator)
{
    env = newEnv;
    javaCommunicator = newJavaCommunicator;
}

int JavaDataWriter::mdSend(const void *data, int length)
{
    if (env == nullptr || length < 0)
        return -1;
    if (length == 0)
        return 0;
    jobject buffer = directBuffer;
    bool temporary = length > static_cast<int>(sizeof staging);
    if (temporary) {
        // The Java side only reads the bytes: the const is not violated.
        buffer = env->NewDirectByteBuffer(const_cast<void *>(data), length);
        if (buffer == nullptr) {
            env->ExceptionClear();
            return -1;
        }
    } else if (data != staging) {
        memcpy(staging, data, static_cast<size_t>(length));
    }
    env->CallStaticVoidMethod(communicationClass, writeMethod, buffer, static_cast<jint>(length));
    bool failed = env->ExceptionCheck() == JNI_TRUE;
    if (failed)
        env->ExceptionClear();
    if (temporary)
        env->DeleteLocalRef(buffer);
    return failed ? -1 : length;
}
