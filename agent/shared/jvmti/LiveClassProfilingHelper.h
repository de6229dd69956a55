#ifndef AGENT_LIVECLASSPROFILINGHELPER_H
#define AGENT_LIVECLASSPROFILINGHELPER_H

#include <jni.h>
#include <jvmti.h>

#include "PointerHashMap.h"

class ClassData;
class DataWriter;
class ProfilingSession;
class LiveClassProfilingSession;
class MethodDesc;

// Fills the class registry from the running VM: a class object's JVMTI tag
// leads to its ClassData, a jmethodID to its MethodDesc. Runs on the VM's
// threads inside JVMTI callbacks and on the command thread.
class LiveClassProfilingHelper {
public:
    // The session whose lists own the records; set once at start-up.
    static void init(LiveClassProfilingSession *session);
    static LiveClassProfilingSession *getSession() { return liveClassProfilingSession; }

    // The ClassData of a class object. A class without a tag is tagged and
    // registered when `create`, else null. With `withLoadInfo` the field
    // information is read. Null on a JVMTI failure.
    static ClassData *getJvmtiClassData(jclass klass, JNIEnv *env, bool withLoadInfo, bool create);
    static ClassData *getJvmtiClassData(long long tag);
    // A new ClassData named by a JVM signature or a slash or dotted name.
    static ClassData *getLoadedClassData(const char *signatureOrName, bool count);
    // The MethodDesc of a method id, made on first request when `env` is
    // given. Null when the VM cannot describe the method. Callers lock.
    static MethodDesc *getMethodDesc(jmethodID method, JNIEnv *env, bool reportErrors);
    // The method of `klass` with that name and signature, else null.
    static jmethodID findMethod(jclass klass, const char *name, const char *signature);
    // The native method of Thread that sleeps, with its name; null when none.
    static jmethodID findNativeSleepMethod(jclass thread, const char **name);
    // The class of that dotted name, null when none was registered.
    static ClassData *findClassData(const char *className);
    // The class by dotted name gets the component type (and goes out again).
    static void registerComponentType(const char *className, int type);
    // The class gets a display name, unless unknown or named already.
    static void registerDisplayName(const char *className, const char *displayName, int type);
    static void getTelemetryData(int *filtered, int *unfiltered);
    // Auto-tunes the instrumentation once: the methods picked lose their
    // hooks in every later rewriting of their classes and wait for
    // Transformer.autoTune0 (which retransforms them) and for the front end.
    // False when it could not run (out of memory).
    static bool autoTuneInstrumentation();
    // The methods auto-tuning picked that the front end has not heard of
    // (command 59): byte 1 and the method ID each, byte 0.
    static void writeNewAutoTuneMethods(DataWriter *writer);
    // While allocations are recorded, the class's allocation node becomes the
    // call-tree node current on the calling (preparing) thread.
    static void setClassAllocation(ClassData *classData, JNIEnv *env);
    // Tags and registers every class object that has no tag yet (classes
    // loaded before the agent could see them: after attaching, or before a
    // heap walk that must know every class). Takes the class lock and, while
    // tagging, the heap lock; runs on the command or attaching thread.
    static void tagUntaggedClasses(ProfilingSession *session, JNIEnv *env);

    // Readies the class rewriting once events are about to be enabled: the
    // instrumenter learns the sessions and the method-id table, the decisions
    // their switches, and a configuration read at start-up is applied.
    // `replaceNativeMethods`: the native-method prefix is in place.
    static void initInstrumentation(bool attach, bool replaceNativeMethods);
    // The class rewriting (see ClassDecisions::doInstrumentation); the caller
    // holds the class lock.
    static int doInstrumentation(JNIEnv *env, const unsigned char *bytes, int length, unsigned char **newBytes,
                                 int *newLength, bool redefining, bool fromJava, bool instrumentFlag);
    // doInstrumentation with all three flags false.
    static int instrumentClass(JNIEnv *env, const unsigned char *bytes, int length, unsigned char **newBytes,
                               int *newLength);
    // After attaching: retransforms the loaded classes that need the agent's
    // class-level changes. Runs on the attaching thread.
    static void initAttach(JNIEnv *env);
    // Once the VM is live (agent loaded at start-up): the classes that need
    // class-level changes but loaded before the class-file hook saw them are
    // retransformed.
    static void initStart(JNIEnv *env);
    // The JVMTI event callbacks are installed (the Java transformer then leaves
    // some classes to the ClassFileLoadHook).
    static void markEventsEnabled();

    // JVMTI callbacks.
    static void JNICALL ovClassFileLoadHook(jvmtiEnv *jvmti, JNIEnv *env, jclass classBeingRedefined, jobject loader,
                                            const char *name, jobject protectionDomain, jint length,
                                            const unsigned char *bytes, jint *newLength, unsigned char **newBytes);
    static void JNICALL ovClassPrepare(jvmtiEnv *jvmti, JNIEnv *env, jthread thread, jclass klass);
    static void JNICALL ovNativeMethodBind(jvmtiEnv *jvmti, JNIEnv *env, jthread thread, jmethodID method, void *address,
                                           void **newAddress);

    // Wraps Thread.sleep when the VM bound it before methods could be
    // identified. Called once the VM is live.
    static void bindSleepWrapper(JNIEnv *env);
    // The VM's Thread.sleep implementation, once bound; null before.
    static void *getSleepImplementation() { return sleepImplementation; }

private:
    static void addClassLoadInformation(ClassData *classData, jclass klass, JNIEnv *env, long long tag);
    static int interfaceFieldCount(jclass klass, JNIEnv *env, void *visited);

    static LiveClassProfilingSession *liveClassProfilingSession;
    static PointerHashMap<ClassData, int> *classIdToClassData;
    static PointerHashMap<MethodDesc, void *> *methodIdToMethodDesc;
    static jmethodID threadSleepMethodID;
    static jmethodID unsafeParkMethodID;
    static void *sleepImplementation;
    static void *parkImplementation;
    static int numFilteredClasses;
    static int numUnfilteredClasses;
};

#endif
