#ifndef AGENT_JAVADATAWRITER_H
#define AGENT_JAVADATAWRITER_H

#include <jni.h>

#include "DataWriter.h"

// Delivers output to the agent's Java side through the static
// com.orvane.agent.java.JavaCommunication.write(ByteBuffer, int). Packets that
// fit go through one direct buffer of the writer's own; larger ones are
// wrapped in a temporary direct buffer for the call. A Java exception or a
// missing JNI environment sets the error flag. Used by the thread bound last
// (setJavaPointers).
class JavaDataWriter : public DataWriter {
public:
    // Looks the Java class and method up; a missing one is a fatal assertion
    // (the class travels in the agent's own archive).
    JavaDataWriter(JNIEnv *env, jobject javaCommunicator);
    ~JavaDataWriter() override;

    // Binds the writer to the serving thread's JNI environment.
    void setJavaPointers(JNIEnv *env, jobject javaCommunicator);

protected:
    int mdSend(const void *data, int length) override;

private:
    JavaVM *vm;
    JNIEnv *env;
    jobject javaCommunicator;
    jclass communicationClass;
    jmethodID writeMethod;
    jobject directBuffer;
    unsigned char staging[BUFFER_SIZE];
};

#endif
