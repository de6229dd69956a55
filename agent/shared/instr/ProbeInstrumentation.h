#ifndef AGENT_INSTR_PROBEINSTRUMENTATION_H
#define AGENT_INSTR_PROBEINSTRUMENTATION_H

namespace Tessera {
class ClassFile;
class CodeAttribute;
class MethodInfo;
} // namespace Tessera

// The probe call of one method: on entry the probe's enter hook gets the
// probe id, the class, its name, the method's name and descriptor, `this`
// (null in static methods and constructors) and the arguments (all of them
// as an Object[], none, or one int parameter); before every return and, but
// in constructors, in a catch-all handler that rethrows, the exit hook gets
// the result (or the exception) and the same five values. Called under the
// class monitor.
class ProbeInstrumentation {
public:
    // Values: pass every argument as an Object[], pass 0, or n >= 0 the
    // int parameter n.
    static constexpr int VALUE_ALL_ARGUMENTS = -2;
    static constexpr int VALUE_ZERO = -1;
    // The catch-all handler: dup, sipush, four ldc_w, this, invokestatic, athrow.
    static constexpr int HANDLER_LENGTH = 21;

    // The Methodrefs of the hooks in the class's constant pool.
    struct Hooks {
        int enterObjects = 0; // enter with Object[] arguments
        int enterInt = 0;     // enter with an int
        int exitObject = 0;   // exit with the result boxed, or the exception
        int exitInt = 0;      // exit of a method returning int
        // The profiler-interface agent: primitives are boxed through
        // util/PrimitiveWrapper and the class-file version stays; below
        // version 49 the class object is named through Class.forName.
        bool profilerInterface = false;
    };
    // Finds or adds the four hook Methodrefs.
    static Hooks addHooks(Tessera::ClassFile *classFile, bool profilerInterface = false);

    // Rewrites the method's code. False and the method unchanged when the id
    // does not fit a pushed short (with a warning), the code cannot be
    // rewritten, or it holds fewer than two instructions. Class files below
    // version 49 become 49.0, which the Class constants need (with
    // `hooks.profilerInterface` they stay and push their class through
    // Class.forName instead).
    static bool addProfilingHookToMethod(Tessera::ClassFile *classFile, Tessera::MethodInfo *method,
                                         Tessera::CodeAttribute *code, const char *className, int id,
                                         const Hooks &hooks, int value);
};

#endif
