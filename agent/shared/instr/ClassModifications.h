#ifndef AGENT_INSTR_CLASSMODIFICATIONS_H
#define AGENT_INSTR_CLASSMODIFICATIONS_H

#include <vector>

namespace Tessera {
class AbstractInstruction;
class ClassFile;
class MethodInfo;
} // namespace Tessera

// Changes to JDK and application classes as a whole: the body of the
// java/lang/Object constructor and of ObjectStreamClass.computeDefaultSUID, the
// String field that switches allocation recording on, class loading and lock
// parking diverted into the agent, component registration and code run from
// static initialisers.
//
// Every function works on a class that was read whole (head and body), runs
// under the class monitor on the loading thread, and changes only the methods
// it names: a method whose splice fails keeps its code, tables and max_stack,
// and the other changes of the class go on. Messages go to the agent's console.
class ClassModifications {
public:
    // The hooks called are rows of Instrumenter::HOOKS.
    // The static boolean java/lang/String.orvaneCallAgent.
    static const char *const CALL_AGENT_FIELD;

    // Replaces the code of java/lang/Object.<init>()V with a call of
    // InstrumentationCalleeSimple.registerAllocation(this). Unless attached,
    // the call is skipped while String.orvaneCallAgent is false (the field
    // must exist: addCallAgentField). False, with "ERROR: no constructor found
    // in java.lang.Object", when there is no such constructor with code.
    static bool addObjectConstructor(Tessera::ClassFile *classFile, bool attached);

    // Appends the static transient boolean field orvaneCallAgent to
    // java/lang/String (once: false when the class already has it).
    static bool addCallAgentField(Tessera::ClassFile *classFile);

    // Replaces the code of ObjectStreamClass.computeDefaultSUID(Class)J with a
    // call of InstrumentationCallee.__orvane_computeDefaultSUID. False, with
    // "ERROR: no method computeDefaultSUID found in java.io.ObjectStreamClass",
    // when the method or its code is missing.
    static bool instrumentObjectStreamClass(Tessera::ClassFile *classFile);

    // Puts in front of every instance loadClass(String) and loadClass(String,
    // boolean) returning Class the diversion to the system class loader
    // (__orvane_useSystemClassLoader / __orvane_loadClass). Returns the number
    // of methods changed.
    static int instrumentLoadClass(Tessera::ClassFile *classFile);

    // java/util/concurrent/locks/LockSupport: the park, parkNanos and parkUntil
    // methods call LockManager.__orvane_parkEnter(blocker) on entry and
    // __orvane_parkExit(blocker) on every way out (each return, and a
    // catch-all handler that rethrows). Returns the number of methods changed.
    static int instrumentLockSupport(Tessera::ClassFile *classFile);

    // Classes whose names begin java/util/concurrent/locks/AbstractQueued: every
    // invokestatic of LockSupport.park/parkNanos/parkUntil (or this class's
    // parkAndCheckInterrupt()Z) in an instance method is wrapped in
    // __orvane_parkEnter(this) / __orvane_parkExit(this). Methods that store
    // into local 0, and constructors, are left alone (local 0 is not an
    // initialised this there). Returns the number of methods changed.
    static int instrumentLocking(const char *className, Tessera::ClassFile *classFile);

    // Component classes: every constructor calls
    // InstrumentationCallee.__orvane_registerClass(getClass()) right after its
    // this(...) or super(...) call. Returns the number of constructors changed.
    static int addRegisterClassHook(const char *className, Tessera::ClassFile *classFile);
    // One constructor; false when it has no code, no this(...)/super(...) call
    // or the splice failed.
    static bool addRegisterClassHookToConstructor(Tessera::ClassFile *classFile, Tessera::MethodInfo *constructor);

    // "$Proxy" classes: the static initialiser first registers the class
    // (looked up by name, see addThisClassInstructions).
    static bool addRegisterClassHookToClinit(const char *className, Tessera::ClassFile *classFile);

    // Puts instructions (taken over: they and the vector are consumed in every
    // case) in front of the static initialiser, whose max_stack becomes at
    // least maxStack; a class without one gets a new <clinit>()V (access 0x18,
    // max_locals 0) made of the instructions and a return. False when the
    // initialiser has no code or the splice failed.
    static bool prependInstructionsToClinit(Tessera::ClassFile *classFile,
                                            std::vector<Tessera::AbstractInstruction *> *instructions,
                                            int maxStack);
    // The new static initialiser, appended to the class (instructions consumed).
    static Tessera::MethodInfo *createClinit(Tessera::ClassFile *classFile,
                                             std::vector<Tessera::AbstractInstruction *> *instructions,
                                             int maxStack);

    // Appends the instructions that leave this class's Class object on the
    // stack without a Class constant (valid in every class-file version):
    // ldc_w "its/internal/name", bipush '/', bipush '.', String.replace(CC),
    // Class.forName(String). Needs three stack slots.
    static void addThisClassInstructions(Tessera::ClassFile *classFile,
                                         std::vector<Tessera::AbstractInstruction *> *instructions);

    // Main class of the profiler-interface agent: the static initialiser first
    // calls Agent.initFromMainClass(className).
    static bool mainClassModifications(const char *className, Tessera::ClassFile *classFile);
    // main([Ljava/lang/String;)V first calls the static method at
    // executeMainIndex (a Methodref taking this class and the arguments,
    // returning boolean) and returns at once when it answers false.
    static bool modifyMainClassMain(Tessera::ClassFile *classFile, int executeMainIndex);

    // A String constant for the Utf8 entry at utf8Index; its pool index.
    static int createStringEntry(Tessera::ClassFile *classFile, int utf8Index);
};

#endif
