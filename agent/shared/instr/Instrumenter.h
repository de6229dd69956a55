#ifndef AGENT_INSTR_INSTRUMENTER_H
#define AGENT_INSTR_INSTRUMENTER_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class ClassData;
class ClassProfilingSession;
class MethodDesc;
class MethodHandleTable;
class ProfilingSession;
class SessionConfig;

namespace Tessera {
class AbstractInstruction;
class ClassFile;
class CodeAttribute;
class MethodInfo;
} // namespace Tessera

// The method hooks the agent puts into loaded classes: entry, exit and
// exception-handler calls with the method's 32-bit id, calls around filtered
// methods and constructors, line-number hints, sleep wrapping, the net I/O and
// array-allocation hooks, native-method wrappers and the redirection of
// Thread.sleep. Every change is a list of code insertions applied to the
// decoded method; a method whose insertion fails keeps its code, tables and
// max_stack and the rest of the class goes on.
//
// All functions are static and run under the agent's class monitor, which also
// guards the instrumenter's maps and the bytecode library's pools. The class
// files passed in are fully read (head and body) unless a function says
// otherwise. `env` parameters are passed through to the class session and may
// be null.
class Instrumenter {
public:
    // Constant-pool indices of the Methodrefs used by one pass of the method
    // hooks; 0 leaves that hook out.
    struct MethodIndices {
        int enterConstructor = 0;
        int enterMethod = 0;
        int exitMethod = 0;
        int filterEnterMethod = 0;
        int filterExitMethod = 0;
        int lineNumberHint = 0;
        int exceptionHandlerMethod = 0;
        int enterSleep = 0;
        int exitSleep = 0;
    };

    // Every static method that rewritten code calls: class (internal form),
    // name and descriptor. One row per hook of HookId.
    struct HookMethod {
        const char *className;
        const char *name;
        const char *descriptor;
    };
    enum HookId {
        HOOK_ENTER_METHOD,
        HOOK_EXIT_METHOD,
        HOOK_EXCEPTION_HANDLER_METHOD,
        HOOK_FILTER_ENTER_METHOD,
        HOOK_FILTER_EXIT_METHOD,
        HOOK_ENTER_CONSTRUCTOR,
        HOOK_LINE_NUMBER_HINT,
        HOOK_COBALT_ENTER_METHOD,
        HOOK_COBALT_EXIT_METHOD,
        HOOK_ENTER_SLEEP,
        HOOK_EXIT_SLEEP,
        HOOK_NET_IO_METHOD,
        HOOK_REGISTER_CLASS,
        HOOK_COMPUTE_DEFAULT_SUID,
        HOOK_REGISTER_ALLOCATION,
        HOOK_REGISTER_ARRAY_ALLOCATION,
        HOOK_USE_SYSTEM_CLASS_LOADER,
        HOOK_LOAD_CLASS,
        HOOK_SLEEP,
        HOOK_PARK_ENTER,
        HOOK_PARK_EXIT,
        HOOK_INIT_FROM_MAIN_CLASS,
        HOOK_COUNT
    };
    static const HookMethod HOOKS[HOOK_COUNT];

    // The Methodref of a hook, found or added in the class's constant pool;
    // its index.
    static int addHookMethodref(Tessera::ClassFile *classFile, HookId hook);

    // Net I/O methods: class (internal form), method name and descriptor;
    // a null name or descriptor matches any.
    struct NetIoMethod {
        const char *className;
        const char *methodName;
        const char *signature;
    };
    static const int NET_IO_CLASS_COUNT = 13;
    static const int NET_IO_METHOD_COUNT = 21;
    static const char *const NET_IO_CLASSES[NET_IO_CLASS_COUNT];
    static const NetIoMethod NET_IO_METHODS[NET_IO_METHOD_COUNT];

    // Instrumentation states kept for each of the instrumenter's methods.
    enum {
        STATE_NOT_INSTRUMENTED = 0,
        STATE_INSTRUMENTED = 1,
        STATE_WITHOUT_FILTERED_CALLS = 2, // too large: retried without the filtered-call hooks
    };

    // Prefix of the native methods that a wrapper calls.
    static const char *const NATIVE_METHOD_PREFIX; // "__orvane_nmp_"

    // Stores the sessions before the first class arrives and forgets every
    // earlier record of the instrumenter (its maps). `classSession` owns the
    // records the instrumenter makes (addClassData / addMethodDesc) and answers
    // the class-filter questions; `handles` gives the 32-bit method ids that
    // rewritten code pushes (the table the CPU hook natives look ids up in).
    // `liveSession` may be null. Nothing is owned.
    static void initialize(ClassProfilingSession *classSession, ProfilingSession *liveSession,
                           MethodHandleTable *handles);
    // The settings of a session configuration that the hooks depend on (line
    // numbers, ignored methods); copied. Call whenever a configuration is
    // applied; null clears them.
    static void applyConfig(const SessionConfig *config);
    // Native methods are wrapped unless the agent was told not to (default on).
    static void setReplaceNativeMethods(bool replace);

    // The instrumenter's record of a class by dotted or slash name, made and
    // registered with the class session when missing.
    static ClassData *getClassData(const char *className);
    // The instrumenter's record of a method (class in dotted or slash form),
    // made and registered when missing. A method named "__orvane_sleep" is
    // recorded as java.lang.Thread sleep.
    static MethodDesc *getMethodDesc(const char *className, const char *methodName, const char *signature);
    // The 32-bit id that rewritten code pushes for the method; 0 when none
    // can be given.
    static int32_t getMethodId(MethodDesc *method);
    // The instrumenter's record with the same class, name and descriptor as
    // `method` (a "__orvane_sleep" method as java.lang.Thread sleep (J)V), or
    // null.
    static MethodDesc *getInstrumenterMethodDesc(MethodDesc *method);
    // Instrumentation state of one of the instrumenter's methods (STATE_...);
    // STATE_NOT_INSTRUMENTED for unknown ones.
    static int getInstrumentationState(MethodDesc *method);
    static void setInstrumentationState(MethodDesc *method, int state);
    // The classes whose code calls `method` through a filtered-call hook; the
    // set may be emptied by the caller (a configuration update).
    static std::unordered_set<ClassData *> *getCallingClasses(MethodDesc *method);
    // Every method of the instrumenter that has calling classes.
    static std::vector<MethodDesc *> getMethodsWithCallingClasses();
    // The component type goes into the instrumenter's record of the class (and
    // it is sent again); nothing for unknown classes.
    static void registerComponentType(const char *className, int type);
    // Display name of the instrumenter's record of the class; nothing for
    // unknown classes.
    static void registerDisplayName(const char *className, const char *displayName);

    // Net I/O tables: exact class name (slash form), and a method by its
    // record (class in dotted form).
    static bool isNetIoClass(const char *slashName);
    static bool isNetIoMethod(MethodDesc *method);
    static bool isNetIoMethod(const char *slashClassName, const char *methodName, int nameLength,
                              const char *signature, int sigLength);

    // A native method of the class that the instrumenter wrapped before (its
    // class must keep the wrapper when it is transformed again).
    static bool isNativeInstrumented(Tessera::ClassFile *classFile, Tessera::MethodInfo *method);
    // A native method that gets a Java wrapper now: native, no code, wrapping
    // on, its name not already prefixed; when `redefining` only one wrapped
    // before (a retransformation cannot add methods).
    static bool canWrapNativeMethod(Tessera::ClassFile *classFile, Tessera::MethodInfo *method, bool redefining);
    // A method that gets method hooks: not abstract, with code or a native
    // method that can be wrapped, not itself a wrapped native method.
    static bool isInstrumented(Tessera::ClassFile *classFile, Tessera::MethodInfo *method, bool redefining);
    // A method that the configuration's ignored methods, auto-tuning (below)
    // or the InvocationEvent rule exclude from the hooks.
    static bool isIgnoredMethod(const char *slashClassName, const char *methodName, int nameLength,
                                const char *signature, int sigLength);
    // Auto-tuning took the method (class in dotted or slash form) out of the
    // hooks: from now on every rewriting of its class leaves it without them,
    // whatever the configuration. Forgotten by initialize.
    static void addAutoTunedMethod(const char *className, const char *methodName, const char *signature);
    // Whether calls of this method are wrapped as calls into the filtered area.
    static bool isFilterInstrMethod(MethodDesc *method);

    // The method hooks of a class. `hooks`: entry, exit, handler and
    // filtered-call hooks (false: only the sleep wrapping of the sleep lists).
    // `specialOnly`: only _jspService and native methods wrapped before.
    // `staticSleepRefs` / `parkRefs`: Methodref indices of static sleep (J)V
    // calls of classes other than Thread and of sun/misc/Unsafe park (ZJ)V
    // (from findSleepRefs; may be null). `recorder`: recorder mode. Interfaces
    // are left alone. Returns true when the class changed.
    static bool instrumentClassFile(void *env, const char *slashName, bool hooks, bool specialOnly,
                                    const std::vector<int> *staticSleepRefs, const std::vector<int> *parkRefs,
                                    Tessera::ClassFile *classFile, bool redefining, bool recorder);
    // The net I/O hooks of every NET_IO_METHODS method of the class (not
    // constructors; a native method only through a wrapper it had before).
    // Returns true when the class changed.
    static bool instrumentClassFileForNetIo(void *env, const char *slashName, Tessera::ClassFile *classFile);
    // registerArrayAllocation after every newarray, anewarray and
    // multianewarray of the method; false when it stays unchanged.
    static bool addArrayAllocationInstrumentation(Tessera::ClassFile *classFile, Tessera::MethodInfo *method);

    // The sleep references of a class (only its Methodrefs are looked at; the
    // head read is enough): Methodrefs of java/lang/Thread sleep (J)V go into
    // `replaceRefs`, sleep (J)V of any other class into `staticSleepRefs`,
    // sun/misc/Unsafe park (ZJ)V into `parkRefs`.
    static void findSleepRefs(Tessera::ClassFile *classFile, std::vector<int> *replaceRefs,
                              std::vector<int> *staticSleepRefs, std::vector<int> *parkRefs);
    // Points each of the Methodrefs at com/orvane/agent/LockManager
    // __orvane_sleep (J)V.
    static void replaceMethodRefs(Tessera::ClassFile *classFile, const std::vector<int> &refs);
    // Walks a raw constant pool as JVMTI GetConstantPool returns it (`count`
    // is the constant_pool_count, the entries follow without it) and answers
    // whether a NameAndType names sleep (J)V or park (ZJ)V. Long and Double
    // take two indices. An unknown tag prints "invalid constant pool entry
    // with unknown tag %d", a pool shorter than `count` entries "constant
    // pool ends before entry %d of %d"; both answer false.
    static bool hasSleepNameAndTypeEntry(int count, int length, const unsigned char *bytes);

    // Code of a native method's wrapper, made when the method qualifies
    // (canWrapNativeMethod): the prefixed native method, with the same
    // descriptor, flags and Exceptions, is appended to the class and `method`
    // becomes a Java method calling it; the method's record is marked wrapped.
    // Otherwise the method's Code attribute, or null.
    static Tessera::CodeAttribute *getCodeAttributeOrCreateForNativeMethod(Tessera::ClassFile *classFile,
                                                                          Tessera::MethodInfo *method,
                                                                          bool redefining);
    // The method's Code attribute, or null.
    static Tessera::CodeAttribute *getCodeAttribute(Tessera::MethodInfo *method);

    // Adds the hooks to one method (after instrumentClassFile has chosen it).
    // Returns 0 when changed or left alone on purpose, else the CodeInsertion
    // error of the last attempt.
    static int addProfilingHookToMethod(Tessera::ClassFile *classFile, Tessera::MethodInfo *method,
                                        const MethodIndices &indices, bool filteredCalls, bool netIo,
                                        const std::vector<int> *staticSleepRefs, const std::vector<int> *parkRefs,
                                        bool redefining, bool recorder);

    // Class files older than version 49 cannot take an ldc_w of a Class
    // constant: whoever inserts one calls this, which raises such a class to
    // 49 (a version that needs no StackMapTable, so nothing else changes).
    static void ensureClassConstantLoadable(Tessera::ClassFile *classFile);

private:
    Instrumenter() = delete;
};

#endif
