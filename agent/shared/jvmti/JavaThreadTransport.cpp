#include "JavaThreadTransport.h"

#include <mutex>

#include "ByteArrayDataReader.h"
#include "JavaDataWriter.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "NoSessionReport.h"

namespace {

// A class or method of the agent's own archive; a missing one is fatal.
jclass findClass(JNIEnv *env, const char *name)
{
    jclass found = env->FindClass(name);
    if (found == nullptr)
        env->ExceptionClear();
    LiveProfiling::instance().requireFound(found, name);
    return found;
}

jmethodID findMethod(JNIEnv *env, jclass owner, bool isStatic, const char *name, const char *signature, const char *what)
{
    jmethodID found = isStatic ? env->GetStaticMethodID(owner, name, signature) : env->GetMethodID(owner, name, signature);
    if (found == nullptr)
        env->ExceptionClear();
    LiveProfiling::instance().requireFound(found, what);
    return found;
}

} // namespace

JavaThreadTransport::JavaThreadTransport()
    : env(nullptr), javaCommunicator(nullptr), request(nullptr), communicationClass(nullptr), readCommandMethod(nullptr),
      limitMethod(nullptr)
{
}

JavaThreadTransport::~JavaThreadTransport()
{
    releaseJavaClass();
}

void JavaThreadTransport::bind(JNIEnv *newEnv, jobject newJavaCommunicator)
{
    env = newEnv;
    javaCommunicator = newJavaCommunicator;
    if (javaWriter != nullptr)
        javaWriter->setJavaPointers(newEnv, newJavaCommunicator);
}

DataReader *JavaThreadTransport::reader()
{
    return requestReader.get();
}

DataWriter *JavaThreadTransport::writer()
{
    return javaWriter.get();
}

bool JavaThreadTransport::connect()
{
    if (env == nullptr) {
        MessageUtil::message("ERROR: No Java thread serves the command loop.");
        return false;
    }
    disconnect();
    jclass local = findClass(env, "com/orvane/agent/java/JavaCommunication");
    communicationClass = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    readCommandMethod = findMethod(env, communicationClass, true, "readCommand", "()Ljava/nio/ByteBuffer;",
                                   "JavaCommunication.readCommand()");
    jclass buffer = findClass(env, "java/nio/Buffer");
    limitMethod = findMethod(env, buffer, false, "limit", "()I", "Buffer.limit()");
    env->DeleteLocalRef(buffer);

    javaWriter.reset(new JavaDataWriter(env, javaCommunicator));
    requestReader.reset(new ByteArrayDataReader(nullptr, -1));
    return true;
}

bool JavaThreadTransport::nextRequest()
{
    for (;;) {
        releaseRequest();
        request = env->CallStaticObjectMethod(communicationClass, readCommandMethod);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            request = nullptr;
        }
        // No buffer: the Java side has no more requests.
        if (request == nullptr)
            return false;
        jint length = env->CallIntMethod(request, limitMethod);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            length = 0;
        }
        void *address = env->GetDirectBufferAddress(request);
        if (length > 0 && address != nullptr) {
            // Each buffer holds whole requests: a short one ends at the
            // buffer's end instead of reading beyond it.
            requestReader->setByteArray(address, length);
            return true;
        }
    }
}

void JavaThreadTransport::releaseRequest()
{
    if (request != nullptr && env != nullptr)
        env->DeleteLocalRef(request);
    request = nullptr;
}

void JavaThreadTransport::disconnect()
{
    releaseRequest();
    javaWriter.reset();
    requestReader.reset();
    releaseJavaClass();
}

void JavaThreadTransport::releaseJavaClass()
{
    // Possibly on another thread than the one that served the loop.
    JNIEnv *here = communicationClass != nullptr ? LiveProfiling::instance().getJNIEnv() : nullptr;
    if (here != nullptr)
        here->DeleteGlobalRef(communicationClass);
    communicationClass = nullptr;
    readCommandMethod = nullptr;
    limitMethod = nullptr;
}

// The calling Java thread serves the command loop until the connection is over.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_enterCommunication(JNIEnv *env, jclass, jobject communicator, jint port)
{
    if (LiveProfiling::instance().getSession() == nullptr) {
        NoSessionReport::report();
        return;
    }
    LiveProfiling::instance().getSession()->javaCommThreadEnter(env, communicator, port);
}
