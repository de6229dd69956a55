#ifndef AGENT_JAVATHREADTRANSPORT_H
#define AGENT_JAVATHREADTRANSPORT_H

#include <jni.h>
#include <memory>

#include "Transport.h"

class ByteArrayDataReader;
class JavaDataWriter;

// A Java thread of the agent serves the command loop: each request comes from
// com.orvane.agent.java.JavaCommunication.readCommand (a direct buffer holding
// one framed request, without acknowledgement bytes) and the replies go back
// through JavaDataWriter. The connection ends when readCommand returns null.
// Used by the thread bound last (bind).
class JavaThreadTransport : public Transport {
public:
    JavaThreadTransport();
    // Releases the Java class reference through the calling thread's environment.
    ~JavaThreadTransport() override;
    JavaThreadTransport(const JavaThreadTransport &) = delete;
    JavaThreadTransport &operator=(const JavaThreadTransport &) = delete;

    // Binds the transport and its writer to the serving thread's JNI
    // environment and the agent's Java communicator object; null unbinds.
    void bind(JNIEnv *env, jobject javaCommunicator);
    // Looks up the Java side (a missing class or method is a fatal assertion:
    // they travel in the agent's own archive) and makes the streams. False
    // when no Java thread is bound.
    bool connect() override;
    // Takes the next buffer from the Java side; false when it has no more.
    bool nextRequest() override;
    void disconnect() override;
    bool acknowledges() const override { return false; }
    DataReader *reader() override;
    DataWriter *writer() override;

private:
    void releaseRequest();
    void releaseJavaClass();

    JNIEnv *env;
    jobject javaCommunicator;
    std::unique_ptr<JavaDataWriter> javaWriter;
    std::unique_ptr<ByteArrayDataReader> requestReader;
    // The buffer requestReader reads: a local reference of the serving thread.
    jobject request;
    jclass communicationClass;
    jmethodID readCommandMethod;
    jmethodID limitMethod;
};

// Java side: com.orvane.agent.Agent.enterCommunication(Object communicator, int port).
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_enterCommunication(JNIEnv *env, jclass, jobject communicator, jint port);

#endif
