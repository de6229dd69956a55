#ifndef AGENT_CLASSDECISIONSJVMTI_H
#define AGENT_CLASSDECISIONSJVMTI_H

#include <jni.h>
#include <jvmti.h>
#include <vector>

#include "ClassDecisionsVm.h"

class LiveProfiling;

// The class decisions' view of the VM through JVMTI and the agent's Java
// classes. Lives for one configuration update, attach or start on the calling
// thread; the loaded classes are global references until endLoadedClasses.
class ClassDecisionsJvmti : public ClassDecisionsVm {
public:
    // `edge` gives the JVMTI environment and the agent's Java classes.
    ClassDecisionsJvmti(LiveProfiling *edge, JNIEnv *env);
    ~ClassDecisionsJvmti() override;
    ClassDecisionsJvmti(const ClassDecisionsJvmti &) = delete;
    ClassDecisionsJvmti &operator=(const ClassDecisionsJvmti &) = delete;

    bool getLoadedClasses(std::vector<LoadedClass> &classes) override;
    void endLoadedClasses() override;
    bool getConstantPool(void *handle, int *count, std::vector<unsigned char> &bytes) override;
    bool getMethods(void *handle, bool withBytecodes, std::vector<Method> &methods) override;
    int retransform(const std::vector<void *> &classes) override;
    long long getAvailablePermGen() override;
    void addLoadInformation(void *handle) override;
    int checkAnnotatedComponent(void *handle, const std::string &dottedName) override;
    void registerClass(void *handle) override;
    void configurationChanged() override;

private:
    // A static method of one of the agent's classes, null (after a message)
    // when it is missing.
    jmethodID staticMethod(jclass klass, const char *name, const char *signature);

    LiveProfiling *edge;
    jvmtiEnv *jvmti;
    JNIEnv *env;
    // Global references to the listed classes, deleted by endLoadedClasses.
    std::vector<jclass> loadedClasses;
};

#endif
