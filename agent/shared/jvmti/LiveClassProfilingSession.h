#ifndef AGENT_LIVECLASSPROFILINGSESSION_H
#define AGENT_LIVECLASSPROFILINGSESSION_H

#include <jni.h>
#include <string>
#include <unordered_map>

#include "ClassDecisions.h"
#include "ClassProfilingSession.h"

class LiveProfiling;

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

    // Command 1: applies `newConfig` (`oldConfig`, or null, is the one it
    // replaces; both stay the caller's) and retransforms the loaded classes
    // whose rewriting changes. With a writer the reply: U4 number of classes
    // to retransform, per batch byte 1 and U4 done so far, then byte 0 and
    // byte 1 when the update ran to its end (U4 0, byte 0, byte 1 when nothing
    // changes). `edge` and `env` reach the VM (either null: no
    // retransformation). Runs on the command thread.
    void updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig, DataWriter *writer, LiveProfiling *edge,
                      JNIEnv *env);

    // Command 77: the instrumentation settings in force (or those the loaded
    // classes were made with), the filtered-call sites and their classes; the
    // single byte 0 when classes were never rewritten by a configuration.
    void writeLoadInfo(DataWriter *writer);

    // The decisions about loading and loaded classes.
    ClassDecisions &getDecisions() { return decisions; }

    ClassData *getCumulationClassData() const { return cumulationClassData; }
    MethodDesc *getSleepMethodDesc() const { return sleepMethodDesc; }
    MethodDesc *getWaitMethodDesc() const { return waitMethodDesc; }
    // Hands the two descriptors found so far to the CPU session, when there is one.
    void handWaitMethods();
    MethodDesc *getObjectInitMethodDesc() const { return objectInitMethodDesc; }

protected:
    bool isHardFiltered(const char *dottedName) override;

private:
    ClassDecisions decisions;
    ClassData *cumulationClassData;
    MethodDesc *sleepMethodDesc;
    MethodDesc *waitMethodDesc;
    MethodDesc *objectInitMethodDesc;
    // Pseudo methods by package; guarded by the class lock.
    std::unordered_map<std::string, MethodDesc *> packageNameToMethodDesc;
};

#endif
