#ifndef AGENT_INSTR_ANNOTATIONINSTRUMENTATION_H
#define AGENT_INSTR_ANNOTATIONINSTRUMENTATION_H

#include <map>
#include <string>
#include <utility>
#include <vector>

struct JNIEnv_;
typedef JNIEnv_ JNIEnv;

class SessionConfig;

namespace Tessera {
class ClassFile;
} // namespace Tessera

// Probes and triggers on methods named by class, method name and descriptor:
// a table from (method name, descriptor) to tasks, filled with the built-in
// thread and file probes, the configuration's triggers and exceptional
// methods and the rows the agent's Java side registers. It decides which
// classes need a probe pass and rewrites their probed methods (see
// ProbeInstrumentation). Called under the class monitor only.
class AnnotationInstrumentation {
public:
    // Built-in probe kinds (negative task ids); positive ids come from Java.
    enum Kind {
        KIND_DEFAULT = -1,
        KIND_COMPONENT = -4,
        KIND_THREAD_NAME = -6,
        KIND_TRIGGER = -7,
        KIND_EXCEPTIONAL = -8,
        KIND_THREAD_RUN = -9,
        KIND_FILE = -10,
        KIND_IO = -12,
        KIND_FILE_IO = -30,
        KIND_THREAD_START = -31,
    };
    enum Flags {
        FLAG_OUTER = 0x2,          // applied in the outer pass
        FLAG_NOT_POSSIBLE = 0x4,   // never makes a class a "possible" candidate
        FLAG_SUBSTRING = 0x8,      // the class pattern is a substring
        FLAG_ONLY_FROM_JAVA = 0x10,
        FLAG_NEVER_FROM_JAVA = 0x20,
    };
    struct AnnotationTask {
        int id;
        int flags;
        std::string pattern; // class name in slash form; empty: any class
        int value;           // -2 all arguments, -1 pass 0, n >= 0 int local n
    };
    // What the VM and the options decide.
    struct Environment {
        bool attached = false;
        bool ibmVm = false;
        bool recordThreadNameChanges = false;
        // The profiler-interface agent: no built-in probes, primitives boxed
        // through util/PrimitiveWrapper, class-file versions kept.
        bool profilerInterface = false;
    };

    // Set before the first class is rewritten.
    static void setEnvironment(const Environment &environment);
    // The per-kind switches and component detection of the configuration.
    static void applyConfig(const SessionConfig *config);
    // Fills the built-in rows once.
    static void init();
    // Forgets every row and the environment (tests).
    static void reset();

    // Probe passes a class needs: bit 1 inner, bit 2 outer; 0 = none.
    static int getAnnotationInstrType(Tessera::ClassFile *classFile, const char *className, bool fromJava);

    // Rewrites the probed methods of the class for one pass (1 inner, 2 outer).
    static void instrument(JNIEnv *env, Tessera::ClassFile *classFile, const char *className, bool filtered,
                           bool special, bool redefining, int pass, bool fromJava);

    // True when a method (name, descriptor) of the class could be probed.
    static bool isPossibleAnnotationClass(const char *className, const char *methodName, const char *descriptor);

    // Adds a probe task for (name, descriptor); an empty or null pattern means any class.
    static void addAnnotationMethod(const char *classPattern, const char *name, const char *descriptor, int id,
                                    int flags, int value);
    // One row registered by the Java side: {class or null, name, descriptor}.
    struct Row {
        const char *className;
        const char *name;
        const char *descriptor;
        int value;
        int flags;
    };
    // Adds the rows for probe `id`; nothing for id 0; rows without name or
    // descriptor are skipped. Returns the number of rows added.
    static int registerMethods(const std::vector<Row> &rows, int id);

    // Drops every trigger (-7) and exceptional-method (-8) task.
    static void removeTriggerAndExceptionalMethods();

    // The first rule that applies decides whether a task probes a class.
    static bool isEnabled(const AnnotationTask &task, const char *className, bool possible, bool fromJava);
    // The tasks of (name, descriptor); null when there are none.
    static const std::vector<AnnotationTask> *getTasks(const std::string &name, const std::string &descriptor);
    // The ids a method gets in one pass (filtered classes keep exceptional
    // methods only when `keepExceptional`), and their value through *value.
    static std::vector<int> collectIds(const std::vector<AnnotationTask> &tasks, const char *className, bool outerPass,
                                       bool fromJava, bool keepExceptional, int *value);

private:
    typedef std::map<std::pair<std::string, std::string>, std::vector<AnnotationTask>> Table;
    static Table &table();
};

#endif
