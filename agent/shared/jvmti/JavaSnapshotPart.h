#ifndef AGENT_JAVASNAPSHOTPART_H
#define AGENT_JAVASNAPSHOTPART_H

#include <jni.h>
#include <string>

#include "SnapshotJavaPart.h"

// The Java part of a snapshot through com/orvane/agent/probe/AnnotationHandler
// (startSave, savePayloads, finishSave), on the calling thread's JNI
// environment. The part travels in a private temporary file ("ovs").
class JavaSnapshotPart : public SnapshotJavaPart {
public:
    static const int COPY_BLOCK = 8192;

    // `javaArguments` (may be null) go to the Java side's startSave.
    explicit JavaSnapshotPart(JNIEnv *env, jobjectArray javaArguments = nullptr);
    ~JavaSnapshotPart() override;

    void startSave(bool recorder) override;
    void savePayloads(bool savePayloads) override;
    void finishSave(DataWriter *writer) override;
    bool probeMetaData(std::vector<unsigned char> *bytes) override;

private:
    // The handler's static method, null (exception cleared) when missing.
    jmethodID method(const char *name, const char *signature);
    // Describes and clears a pending Java exception; true when there was one.
    bool clearException();

    JNIEnv *env;
    jobjectArray arguments;
    jclass handler;
    std::string path;
};

#endif
