#ifndef AGENT_LIVECLASSPROFILINGSESSION_H
#define AGENT_LIVECLASSPROFILINGSESSION_H

#include <jni.h>
#include <string>
#include <unordered_map>

#include "ClassProfilingSession.h"

class ClassData;
class DataWriter;
class MethodDesc;
class SessionConfig;

// The class sub-session of the live VM: every class gets a pseudo method for
// itself and one for its package, which call trees use as class and package
// nodes, and the descriptors of Thread.sleep, Object.wait and Object.<init>
// are noticed as they appear.
class LiveClassProfilingSession : public ClassProfilingSession {
public:
    explicit LiveClassProfilingSession(ProfilingSession *session);

    // Appends; stamps the load time and makes the class and package pseudo
    // methods of an ordinary class.
    void addClassData(ClassData *classData) override;
    void addMethodDesc(MethodDesc *methodDesc) override;
    // The package's pseudo method, made on first use.
    MethodDesc *getPackageMethodDesc(ClassData *classData);
    // The probe pseudo method of that name, made on first use.
    MethodDesc *getAnnotationMethodDesc(const char *name);

    // Applies `newConfig` (the old one, or null, for comparison) and, with a
    // writer, reports the update: U4 number of retransformed classes, byte 0,
    // byte 1 when the update ran to its end. No class is instrumented yet, so
    // a new configuration changes none of them.
    void updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig, DataWriter *writer, JNIEnv *env);

    // The load information of command 77: the instrumentation settings in
    // force and the filtered-call sites. No class has been rewritten yet, so
    // there are no settings to report: a single byte 0.
    void writeLoadInfo(DataWriter *writer);

    ClassData *getAnnotationClassData() const { return annotationClassData; }
    ClassData *getCumulationClassData() const { return cumulationClassData; }
    MethodDesc *getSleepMethodDesc() const { return sleepMethodDesc; }
    MethodDesc *getWaitMethodDesc() const { return waitMethodDesc; }
    MethodDesc *getObjectInitMethodDesc() const { return objectInitMethodDesc; }

protected:
    bool isHardFiltered(const char *dottedName) override;

private:
    ClassData *annotationClassData;
    ClassData *cumulationClassData;
    MethodDesc *sleepMethodDesc;
    MethodDesc *waitMethodDesc;
    MethodDesc *objectInitMethodDesc;
    // Pseudo methods by package and by probe name; guarded by the class lock.
    std::unordered_map<std::string, MethodDesc *> packageNameToMethodDesc;
    std::unordered_map<std::string, MethodDesc *> annotationNameToMethodDesc;
};

#endif
