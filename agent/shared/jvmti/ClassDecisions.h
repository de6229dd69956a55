#ifndef AGENT_CLASSDECISIONS_H
#define AGENT_CLASSDECISIONS_H

#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "AnnotationMethodAndClass.h"

class ClassDecisionsVm;
class ClassProfilingSession;
class DataWriter;
class ProfilingSession;
class SessionConfig;

namespace Tessera {
class ClassFile;
}

// The decisions about classes that the VM loads or that a new configuration
// affects: which classes get which rewriting (doInstrumentation), what the
// instrumentation of the loaded classes was made with (the previous settings
// reported by command 77), and which loaded classes a configuration update
// retransforms. Nothing here talks to the VM directly: rewriting works on
// class bytes, retransformation goes through ClassDecisionsVm.
//
// One object per agent, owned by the live class session. Every operation but
// updateConfig, initAttach and initStart runs inside the class lock of the
// session (the caller takes it), which also guards the bytecode library's
// pools and the instrumenter's maps; those three run on the command, attach or VM
// start thread, take the lock where they need it and leave it while the VM
// retransforms or runs Java code (both enter the class hook).
class ClassDecisions {
public:
    // Process-wide switches that the decisions read, set by start-up, options
    // and attach.
    struct Switches {
        bool attach = false;               // attached to a running VM
        bool sharing = false;              // the VM shares classes (attached case)
        bool instrumentJre = false;        // option instrument-jre
        bool jvmti11 = false;              // JVMTI 1.1 or later
        bool jvmtiEventsEnabled = false;   // the JVMTI event callbacks are installed
        bool replaceNativeMethods = true;  // native methods get Java wrappers
        bool arrayAllocations = false;     // array allocations are instrumented
        bool retransformArrayAllocs = false; // a configuration update adds array hooks
        bool cobalt = false;               // recorder mode
        bool hasJvmti = false;             // a JVMTI environment exists
        bool firstConfigUpdate = false;    // the first update after attaching is pending
        bool verboseInstrumentation = false;
        bool saveInstrumentedClasses = false;
        bool saveAllClasses = false;
        bool offline = false;              // offline profiling
        bool noArrayAllocs = false;        // option no-array-allocs
        // Object's allocation hook and String's switch; off where the VM
        // reports allocations itself (the profiler interface).
        bool allocationHooks = true;
    };

    // The component kind of a class without component annotations.
    static const int COMPONENT_NONE = 0;

    // The checkForSpecialMethods flags of one class.
    struct SpecialMethods {
        bool hasMain = false;
        bool hasComponentMarker = false;
        bool hasJspService = false;
        bool hasNativeHook = false;
        bool isClassLoader = false;
    };

    // `classes` answers the filter questions and owns the records;
    // `session` gives the call-tree collection method. Nothing is owned.
    ClassDecisions(ClassProfilingSession *classes, ProfilingSession *session);
    ~ClassDecisions();
    ClassDecisions(const ClassDecisions &) = delete;
    ClassDecisions &operator=(const ClassDecisions &) = delete;

    Switches &getSwitches() { return switches; }
    // The configuration in force for rewriting; copied (null: the defaults).
    void setConfig(const SessionConfig *config);
    // Installs the class filters of a configuration in the class session.
    void installFilters(const SessionConfig *config);
    const SessionConfig *getConfig() const { return config.get(); }

    // Classes the agent never rewrites (slash name), by the switches.
    bool isHardFilteredClass(const char *slashName) const;

    // The special methods of a class (slash name, head read enough). Returns
    // true when the class must keep hooks whatever the filters say: it has a
    // _jspService or component marker method, else whether it has a native
    // method the instrumenter wrapped before.
    bool checkForSpecialMethods(const char *slashName, Tessera::ClassFile *classFile, SpecialMethods *found);
    // The component type of the first Utf8 constant that names one of the
    // component annotations (0 none). A type found is remembered for the
    // class's record (dotted name) unless `dontRemember`.
    int checkAnnotatedComponentClass(Tessera::ClassFile *classFile, const char *slashName, bool dontRemember);
    // A public static main(String[]) or the special main class.
    static bool hasMainMethod(Tessera::ClassFile *classFile, const char *slashName);
    // Takes the component type remembered for a dotted class name; false when none.
    bool takeAnnotatedComponentClass(const std::string &dottedName, int *type);

    // The class rewriting of one loaded class. Returns the component kind
    // (0 none). `*newBytes` (new[], owned by the caller) and `*newLength` are
    // set only when the class changed; otherwise null and 0. `env` is passed
    // through to the instrumenter. Never throws.
    int doInstrumentation(void *env, const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength,
                          bool redefining, bool fromJava, bool instrumentFlag);

    // Name sets (slash names).
    void addToAnnoAndOptionalClasses(const char *name);
    void addToPossiblyInstrumentedClasses(const char *name);
    bool isInAnnoAndOptionalClasses(const std::string &name) const;
    bool isInPossiblyInstrumentedClasses(const std::string &name) const;
    const std::string &getMainClassName() const { return mainClassName; }

    // Saves bytes as <dir>/<class with '/' as '.'><suffix> in the private
    // dump directory (made on first use: mode 0700 under $TMPDIR, else /tmp,
    // prefix "ov_cls"). False, after printing why, when it cannot.
    bool writeClassFile(const char *slashName, const char *suffix, const unsigned char *bytes, int length);
    // The dump directory, empty until made.
    const std::string &getDebugInstrClassDir() const { return debugInstrClassDir; }
    // An agent message, only with verbose instrumentation; cut at 8,191 bytes.
    void verboseOut(const char *format, ...) __attribute__((format(printf, 2, 3)));

    // Keeps the settings that the loaded classes were instrumented with,
    // before `previous` is replaced (see the configuration update).
    void saveFiltersAndIgnored(const SessionConfig *previous);
    bool hasPreviousSettings() const { return prevInstrSet; }
    // Command 77: settings in force (or saved), byte 0, the filtered-call
    // sites with their calling classes, byte 0, the classes met.
    void writeLoadInfo(DataWriter *writer);

    // Whether "componentDetection" or "utilConcurrentHandling" differ, or there
    // is no old configuration.
    static bool areRelevantOptionsDifferent(const SessionConfig *oldConfig, const SessionConfig *newConfig);
    // Whether both have the same probe and exceptional methods (false without
    // an old configuration).
    static bool areAnnotationAndExceptionalMethodsIdentical(const SessionConfig *oldConfig,
                                                            const SessionConfig *newConfig);

    // The configuration update: installs the new filters, probe and
    // exceptional methods, chooses the loaded classes whose rewriting changes
    // and retransforms them in batches of 100 through `vm`. With a writer the
    // progress and the end of the reply: U4 chosen classes, per batch byte 1
    // and U4 done, then U4 0 when nothing was retransformed, byte 0 and byte 1
    // when the update ran to its end. `oldConfig` may be null; both stay the
    // caller's.
    void updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig, DataWriter *writer,
                      ClassDecisionsVm *vm);
    // After attaching: retransforms the loaded classes that need the agent's
    // class-level changes or sleep hooks.
    void initAttach(ClassDecisionsVm *vm);
    // Once the VM is live after loading the agent at start-up: retransforms the
    // loaded classes that need class-level changes (lock parking,
    // serialisation, components, network I/O) but were loaded before the
    // class-file hook could see them, as modern VMs do with some JDK classes.
    // Quiet unless a retransformation fails.
    void initStart(ClassDecisionsVm *vm);

private:
    struct PreviousSettings;

    // The rewriting of one loading class, step by step. Every step that
    // rewrites reads the body first; a step returns false when the body
    // cannot be read (the class then stays unchanged).
    struct LoadingClass;
    enum HookChoice { HOOKS_NONE, HOOKS_LATER, HOOKS_NOW };
    int instrumentClass(void *env, const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength,
                        bool redefining, bool fromJava, bool instrumentFlag);
    // The name, room in the constant pool and a super class; false (after a
    // message) when the class is left alone.
    bool acceptClass(LoadingClass &c);
    static bool hasSuperClass(const LoadingClass &c);
    void resetRedefinedMethods(LoadingClass &c);
    // Special methods, the hard and configured filters, the interface flag.
    void decideFiltering(LoadingClass &c);
    bool placeInnerProbes(LoadingClass &c);
    bool replaceSleepRefs(LoadingClass &c);
    HookChoice chooseMethodHooks(const LoadingClass &c) const;
    bool placeMethodHooks(LoadingClass &c);
    bool noteMainClass(LoadingClass &c);
    bool addComponentHooks(LoadingClass &c);
    bool placeNetIoAndOuterProbes(LoadingClass &c);
    bool addLockParking(LoadingClass &c);
    // Object's allocation hook, String's switch, ObjectStreamClass.
    bool addClassLevelChanges(LoadingClass &c);
    bool addArrayAllocationHooks(LoadingClass &c);
    bool addLoadClassHooks(LoadingClass &c);
    // The rewritten bytes when the body was read and the class written.
    void writeBack(LoadingClass &c, unsigned char **newBytes, int *newLength);
    static int unreadableBody(const char *className);

    // The filter test on a dotted name with the given dotted filters.
    bool filterAnswer(const char *dottedName, const std::vector<std::string> &filters, bool inclusive,
                      bool componentDetection) const;
    bool isIgnored(const std::unordered_set<AnnotationMethodAndClass, AnnotationMethodAndClass::Hash> &ignored,
                   const std::string &dottedClass, const char *method, const char *signature) const;
    bool chooseForAttach(ClassDecisionsVm *vm, void *handle, const std::string &name);
    // A class that gets class-level changes when it loads (not from the Java
    // transformer): lock parking, serialisation, components, network I/O.
    bool isBaseClass(const std::string &name) const;
    // Retransforms the loaded classes `choose` picks, all at once, then one by
    // one after a failure. `report`: the count and the end are printed.
    void retransformBaseClasses(ClassDecisionsVm *vm, bool report,
                                const std::function<bool(void *, const std::string &)> &choose);
    bool chooseByMethods(ClassDecisionsVm *vm, void *handle, const std::string &name, bool cpuInstrumentation);
    bool retransformInBatches(ClassDecisionsVm *vm, const std::vector<void *> &chosen,
                              const std::vector<std::string> &names, DataWriter *writer, int *done);

    ClassProfilingSession *classes;
    ProfilingSession *session;
    Switches switches;
    std::unique_ptr<SessionConfig> config;
    // The class filters installed in the class session (dotted).
    bool filtersInstalled;
    std::vector<std::string> currentFilters;
    bool currentInclusive;
    std::unordered_set<std::string> possiblySpecialInstrumentedClasses;
    std::unordered_set<std::string> annoAndOptionalClasses;
    // Component types found before the class had a record: dotted name, type.
    std::vector<std::pair<std::string, int>> annotatedComponentClassNames;
    // Classes with class-level changes that passed through the rewriting.
    std::unordered_set<std::string> seenBaseClasses;
    // With instrument-jre, the JDK classes loaded before the agent's hook
    // were given their hooks by a retransformation (done once).
    bool loadedJreClassesRetransformed = false;
    // Whether `c` asks for hooks in the JDK classes loaded so far: option
    // instrument-jre, CPU instrumentation, and not done yet.
    bool wantsLoadedJreClasses(const SessionConfig *c) const;
    // java/lang/String was given the switch field that guards Object's
    // allocation hook. A String loaded before the agent saw it has none, and
    // a retransformation cannot add it.
    bool stringSwitchAdded = false;
    std::string mainClassName;
    std::string debugInstrClassDir;
    bool prevInstrSet;
    std::unique_ptr<PreviousSettings> previous;
};

#endif
