#ifndef AGENT_JVMPI_PICLASSPROFILINGSESSION_H
#define AGENT_JVMPI_PICLASSPROFILINGSESSION_H

#include <string>
#include <unordered_map>
#include <vector>

#include "ClassDecisions.h"
#include "ClassDecisionsAutoTune.h"
#include "ClassProfilingSession.h"
#include "jvmpi.h"

class AgentOptions;
class ClassData;
class CpuProfilingSession;
class MethodDesc;
class SessionConfig;

// The classes and methods piagent learns from the VM's class loads, keyed by
// the VM's class object ids and method ids. Class ids change when the
// collector moves the class object; method ids stay.
class PiClassProfilingSession : public ClassProfilingSession {
public:
    explicit PiClassProfilingSession(ProfilingSession *session);
    ~PiClassProfilingSession() override;

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
    // The class of a Java class name (dots), made and counted on first sight.
    ClassData *registerClassName(const char *dottedName);

    // Classes counted by the class filter, for the telemetry.
    int getNumFilteredClasses() const { return numFilteredClasses; }
    int getNumUnfilteredClasses() const { return numUnfilteredClasses; }
    // The dotted name of the main class, once a class with main was seen.
    std::string getMainClassName() const;

    // Before the first class loads: the rewriting's switches (no allocation
    // hooks in Object and String, no array allocations, no native-method
    // wrappers, probes boxed through util/PrimitiveWrapper, class-file
    // versions kept) and the method ids hooks push, from `cpu`.
    void initInstrumentation(CpuProfilingSession *cpu, const AgentOptions &options);
    // Command 1: the filters, probe and exceptional methods of `newConfig`
    // apply to the classes that load from now on; nothing is retransformed.
    // `oldConfig` (may be null) is the one it replaces.
    void updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig);

    // The Java side names a class's component type: the class (dotted
    // name) takes it when known, and the instrumenter's record in any case.
    void registerComponentType(const char *className, int type);
    // The Java side shows a known class under another name, as a component
    // of `type`; the class called `displayName`, when known, stands for it.
    // Nothing for an unknown class or one that has a display name already.
    void registerDisplayName(const char *className, const char *displayName, int type);
    // A class rewriting Java code asks for (the agent's Java transformer):
    // `instrument` false treats the class as filtered. The component kind
    // (0 none); new[] bytes when the class changed. Called under the class
    // monitor.
    int rewriteForJava(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength, bool redefining,
                       bool instrument);
    // Whether the configuration lets auto-tuning drop hooks of short
    // methods called very often.
    bool isAutoTune();
    // The methods auto-tuning took the hooks from since the last call (byte 1
    // and ID each, byte 0), for the state reply.
    void writeNewAutoTuneMethods(DataWriter *writer);
    // Auto-tunes the instrumentation from the call trees of `cpu` and hands
    // out the names ("class.method(descriptor)") of the methods picked since
    // the last call.
    std::vector<std::string> autoTune(CpuProfilingSession *cpu, bool recorderRecording);

    // Rewrites a class's bytes: true with `newBytes` (new[], the caller
    // deletes them) when the class changes. Classes get the method hooks
    // and probes the session's filters and configuration select; the main
    // class calls the agent's Java side from its static initialiser and its
    // main. Called under the class monitor.
    virtual bool doInstrumentation(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength);

    // Registers a class; an ordinary class (component kind up to 49) gets
    // its pseudo method (named as the class, in the cumulation class) and
    // its package's, which the views' class and package levels count under.
    void addClassData(ClassData *classData) override;

protected:
    bool isHardFiltered(const char *dottedName) override;

private:
    // The main class's changes on top of `bytes` (already rewritten or not);
    // true with new[] bytes when they were made.
    bool modifyMainClass(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength);

    // The class of `name` (slashes or dots), made and counted on first sight.
    ClassData *getLoadedClassData(const char *name);
    void addClassLoadInformation(ClassData *classData, JVMPI_Event *event);

    std::unordered_map<void *, ClassData *> classIdToClassData;
    std::unordered_map<void *, MethodDesc *> methodIdToMethodDesc;
    std::unordered_map<std::string, ClassData *> classNameToClassData;
    // The pseudo method of a package, made on first use (under the class monitor).
    MethodDesc *getPackageMethodDesc(ClassData *classData);
    // The class that owns the pseudo methods of classes and packages.
    ClassData *cumulationClassData;
    std::unordered_map<std::string, MethodDesc *> packageNameToMethodDesc;
    ClassDecisions decisions;
    ClassDecisionsAutoTune autoTuning;
    // The instrumenter keeps this session's class and method records.
    bool instrumentationReady = false;
    int numFilteredClasses = 0;
    int numUnfilteredClasses = 0;
};

#endif
