#ifndef AGENT_INSTR_ANNOTATIONINSTRUMENTATION_H
#define AGENT_INSTR_ANNOTATIONINSTRUMENTATION_H

struct JNIEnv_;
typedef JNIEnv_ JNIEnv;

namespace Tessera {
class ClassFile;
} // namespace Tessera

// Probes and triggers on methods named by class, method name and descriptor.
// This build configures no probes: no class needs a probe pass and nothing is
// rewritten. Called under the class monitor.
class AnnotationInstrumentation {
public:
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

    // Drops every trigger (-7) and exceptional-method (-8) task.
    static void removeTriggerAndExceptionalMethods();
};

#endif
