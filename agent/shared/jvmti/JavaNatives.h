#ifndef AGENT_JAVANATIVES_H
#define AGENT_JAVANATIVES_H

#include <jni.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

class ClassData;
class ClassProfilingSession;
class CpuProfilingSession;
class LiveSamplerSession;
class LiveThreadManager;
class SamplerSession;
class SessionConfig;

// The work of the agent's Java-side natives that does not depend on the VM
// interface, shared by the JVMTI and the JVMPI bindings.
class JavaNatives {
public:
    // Sleeps the whole seconds, then the rest; nothing for 0 or less.
    static void runnableSleep(long long millis);
    // Writes the Java text to the debug file as it is.
    static void debugOut(JNIEnv *env, jstring text);
    // Stores `value` in the array's first four bytes in host byte order;
    // 4, or 0 (logged) when the array has fewer than four bytes.
    static jint storeSnapshotId(JNIEnv *env, jbyteArray bytes, jint value);
    // The non-null strings of a Java string array.
    static std::vector<std::string> strings(JNIEnv *env, jobjectArray array);
    // The bytes of a Java byte array; empty for null.
    static std::string bytes(JNIEnv *env, jbyteArray array);
    // The UTF-8 text of a Java string; false for null or when the VM has no
    // memory for it (the exception cleared).
    static bool utf(JNIEnv *env, jstring text, std::string *out);
    // A new String[] of `names`; null when there are none or the VM has no
    // memory for it (the exception cleared).
    static jobjectArray stringArray(JNIEnv *env, const std::vector<std::string> &names);

    // The recorder. The switch: recording on or off, the distinct non-zero
    // method ids (low 32 bits) of `ids` (may be null) recorded natively from
    // now on, and the CPU data of `cpu` (may be null) empty.
    static void setRecorderRecording(JNIEnv *env, jboolean on, jlongArray ids, CpuProfilingSession *cpu);
    // Asks the static method `policy(boolean annotationMethod, String name)`
    // of `type` for the policy of every probe method and every method of
    // `cumulation` (may be null) in `classes`, under the class lock; an
    // answer's seven fields (int, boolean, int, boolean, int, boolean, int)
    // become the method's policy. The class and its members are kept from
    // the first call on; without them nothing is asked (logged).
    static void updateRecorderPolicies(JNIEnv *env, ClassProfilingSession *classes, const ClassData *cumulation, jclass type,
                                       jobject method, const jobject fields[7]);

    // The class rewriting that Java code asks for (Transformer.transform0):
    // `rewrite` gets the array's bytes and returns the class's component
    // kind (0 none), with new[] bytes when the class changed. Returns a new
    // array of the rewritten bytes, null when the class stays as it is; a
    // kind above 0 goes into out[0] (`out` may be null).
    typedef std::function<int(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength)> Rewrite;
    static jbyteArray transformClass(JNIEnv *env, jbyteArray bytes, jintArray out, const Rewrite &rewrite);
    // The name of the method behind a hook id; null for 0, an unknown id or
    // without a CPU session.
    static jstring methodName(JNIEnv *env, CpuProfilingSession *cpu, jint id);

    // The methods Java code names for a probe (Agent.registerAnnotationMethods):
    // each row {class or null, name, descriptor} with its value and flags.
    struct ProbeMethods {
        std::vector<std::array<std::string, 3>> texts;
        std::vector<std::array<bool, 3>> present;
        std::vector<jint> values;
        std::vector<jint> flags;
        // The rows as a registry's row type {class, name, descriptor, value,
        // flags}; the texts point into this record.
        template <typename Row> std::vector<Row> rows() const
        {
            std::vector<Row> list;
            for (size_t i = 0; i < texts.size(); i++)
                list.push_back(Row{present[i][0] ? texts[i][0].c_str() : nullptr, present[i][1] ? texts[i][1].c_str() : nullptr,
                                   present[i][2] ? texts[i][2].c_str() : nullptr, values[i], flags[i]});
            return list;
        }
    };
    // Reads the rows; rows that are null or shorter than three are skipped.
    // False (nothing read) for probe id 0, a null array or fewer values or
    // flags than rows (logged).
    static bool readProbeMethods(JNIEnv *env, jobjectArray methods, jintArray values, jintArray flags, jint id, ProbeMethods *out);
    // A hook of the agent's Java side reached a library without a live
    // session: another copy of the library serves that Java side.
    static void reportWrongLibrary();
    // The values of a Java int array; empty for null.
    static std::vector<int32_t> ints(JNIEnv *env, jintArray array);
    // A Java string as UTF-8; `absent` for null or when the VM has no
    // memory for it (the exception cleared).
    static std::string text(JNIEnv *env, jstring s, const char *absent);

    // Agent.getConfig: the configuration's file path as bytes in result[0]
    // and the XML text the front end sent in result[1] (null for a file or
    // without one); its id, 0 without a configuration. An array of fewer
    // than two elements gets nothing stored.
    static jint storeConfig(JNIEnv *env, const SessionConfig *config, jobjectArray result);
    // Agent.addBookmark: a bookmark with the text ("" for null) now; nothing
    // without a sampler.
    static void addBookmark(JNIEnv *env, SamplerSession *sampler, jstring text);
    // Sampler.initDescriptions: one custom telemetry description per name
    // (a null name becomes "[unknown]"); nothing when an array is null or
    // shorter than the names. The descriptions belong to the sampler, which
    // may still be starting: waits for it in steps of 100 ms while `sampler`
    // gives none and `alive` says the session is there.
    typedef LiveSamplerSession *(*SamplerLookup)();
    typedef bool (*SessionAlive)();
    static void initDescriptions(JNIEnv *env, jobjectArray names, jintArray types, jlongArray values, SamplerLookup sampler,
                                 SessionAlive alive);

    // The Java controller's switches of the CPU session. CPU recording on
    // (with `reset` the call trees and, when nothing recorded, the probe
    // data are cleared) or off; what was recorded stays.
    static void setCpuRecording(CpuProfilingSession *cpu, bool on, bool reset);
    // Monitor events on or off; thresholds below 0 keep the current ones.
    static void setMonitorRecording(CpuProfilingSession *cpu, bool on, jint blockThreshold, jint waitThreshold);

    // The probe natives of com.orvane.agent.probe.AnnotationHandler and the
    // Java thread managers' registration. Each binding passes its sessions
    // (null without one) and how it finds the calling thread's manager:
    // with `make` one is made for a thread the agent does not know yet.
    typedef LiveThreadManager *(*ThreadLookup)(JNIEnv *env, bool make);

    // A probe call begins: with instrumented call trees, not nested, the
    // probe's pseudo method is entered on the calling thread's current node.
    // The pseudo method's handle, 0 when nothing was recorded.
    static jlong enterProbe(JNIEnv *env, CpuProfilingSession *cpu, ClassProfilingSession *classes, ThreadLookup thread, jstring name,
                            jboolean nested);
    // The probe call of `handle` ends; unknown handles change nothing.
    static void exitProbe(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jlong handle);
    // The probe switch of `type` (false without a configuration).
    static jboolean isProbeEnabled(const SessionConfig *config, jint type);
    // Seven longs into `info`: the calling node's annotation id (0: not
    // recorded), the thread's handle, its runnable, blocked, waiting and net
    // I/O microseconds so far and the current time.
    static void fillAnnotationInfo(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jlongArray info, jboolean callSite);
    // With sampling: the handle of probe `name`'s pseudo method; else 0.
    static jlong probeRequest(JNIEnv *env, CpuProfilingSession *cpu, ClassProfilingSession *classes, jstring name);
    // The calling thread's Java-side manager, kept on its first registration.
    static void registerThreadManager(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jobject self);
    // Agent.enterExceptionalMethod: the calling thread's next method entry
    // begins a run of an exceptional method; only with dynamic
    // instrumentation, nothing without a session or a thread manager.
    static void enterExceptionalMethod(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread);
    // The calling thread's status override (Agent.setOverrideThreadStatus,
    // resetOverrideThreadStatus); nothing for a thread without manager.
    static void setOverrideThreadStatus(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread, jint status);
    static void resetOverrideThreadStatus(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread);
    // The calling thread's call site as an AnnotationHandler.CallSite: the
    // low 32 bits of its node's annotation id and the handle of its method
    // (0 for none); null without a recorded call or when the class is missing.
    static jobject callSite(JNIEnv *env, CpuProfilingSession *cpu, ThreadLookup thread);
};

#endif
