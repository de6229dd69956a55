#ifndef AGENT_JVMPI_LIVECLASSPROFILINGSESSION_H
#define AGENT_JVMPI_LIVECLASSPROFILINGSESSION_H

#include <string>
#include <unordered_map>

#include "ClassProfilingSession.h"
#include "jvmpi.h"

class ClassData;
class MethodDesc;

// The classes and methods piagent learns from the VM's class loads, keyed by
// the VM's class object ids and method ids. Class ids change when the
// collector moves the class object; method ids stay.
class LiveClassProfilingSession : public ClassProfilingSession {
public:
    explicit LiveClassProfilingSession(ProfilingSession *session);
    ~LiveClassProfilingSession() override;

    // CLASS_LOAD. A requested load of a known class only adds its methods;
    // an unrequested one registers the class (by name) without its methods.
    virtual void handleClassLoad(JVMPI_Event *event, bool requested);
    // CLASS_UNLOAD: the class and its methods are no longer looked up.
    virtual void handleClassUnload(JVMPI_Event *event);
    // CLASS_LOAD_HOOK: the class stays as the VM gave it unless rewritten.
    virtual void handleClassLoadHook(JVMPI_Event *event);
    // OBJECT_MOVE of a class object: the class is found under its new id only.
    virtual void handleObjectMove(JVMPI_Event *event);

    // The method of a method id. A miss with `env` asks the VM for the
    // method's class and a class load of it, then looks again. Null when
    // the VM names no class or the load brought no such method.
    MethodDesc *getMethodDesc(jmethodID methodId, JNIEnv *env);
    // The class of a class object id; null for null or an unknown id.
    ClassData *getClassData(jobjectID classId);
    // The class of arrays of `elementClass` (null: of objects), made on first use.
    ClassData *getArrayClassData(ClassData *elementClass);

    // Classes counted by the class filter, for the telemetry.
    int getNumFilteredClasses() const { return numFilteredClasses; }
    int getNumUnfilteredClasses() const { return numUnfilteredClasses; }
    const std::string &getMainClassName() const { return mainClassName; }

    // Rewrites a class's bytes: true with `newBytes` (malloc'ed, the caller
    // frees them) when the class changes. The first class with a main method
    // calls the agent's Java side from its static initialiser and its main.
    virtual bool doInstrumentation(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength);

private:
    // The class of `name` (slashes or dots), made and counted on first sight.
    ClassData *getLoadedClassData(const char *name);
    void addClassLoadInformation(ClassData *classData, JVMPI_Event *event);

    std::unordered_map<void *, ClassData *> classIdToClassData;
    std::unordered_map<void *, MethodDesc *> methodIdToMethodDesc;
    std::unordered_map<std::string, ClassData *> classNameToClassData;
    // The dotted name of the profiled program's main class, once seen.
    std::string mainClassName;
    int numFilteredClasses = 0;
    int numUnfilteredClasses = 0;
};

#endif
