#ifndef AGENT_INSTR_INSTRUMENTERPRIVATE_H
#define AGENT_INSTR_INSTRUMENTERPRIVATE_H

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "AnnotationMethodAndClass.h"

class ClassData;
class ClassProfilingSession;
class MethodDesc;
class MethodHandleTable;
class ProfilingSession;

namespace Tessera {
class AbstractInstruction;
class ClassFile;
class CodeAttribute;
} // namespace Tessera

// The state behind the static Instrumenter functions, shared by its source
// files only. Guarded by the agent's class monitor.
namespace InstrumenterState {

// What the instrumenter keeps for each of its methods besides the MethodDesc
// that the class session owns.
struct MethodRecord {
    MethodDesc *desc = nullptr;
    int state = 0;        // Instrumenter::STATE_...
    bool wrapped = false; // a native method given a Java wrapper
    std::unordered_set<ClassData *> callingClasses;
};

struct Context {
    ClassProfilingSession *classSession = nullptr;
    ProfilingSession *liveSession = nullptr;
    MethodHandleTable *handles = nullptr;
    bool lineNumbers = false;
    bool replaceNativeMethods = true;
    std::unordered_set<AnnotationMethodAndClass, AnnotationMethodAndClass::Hash> ignoredMethods;
    // Methods auto-tuning took the hooks from (methodKey); kept across configurations.
    std::unordered_set<std::string> autoTunedMethods;
    // By dotted class name; records owned by the class session.
    std::unordered_map<std::string, ClassData *> classes;
    // By dotted class name, method name and descriptor (methodKey).
    std::unordered_map<std::string, std::unique_ptr<MethodRecord>> methods;
    std::unordered_map<MethodDesc *, MethodRecord *> recordsByDesc;
};

Context &context();
std::string dotted(const char *name);
std::string slashed(const char *name);
bool equalsText(const char *chars, int length, const char *text);
std::string methodKey(const std::string &dottedClass, const std::string &name, const std::string &signature);
MethodRecord *findRecord(MethodDesc *method);
// Finds or makes the record (class in dotted or slash form).
MethodRecord *getRecord(const char *className, const char *methodName, const char *signature);
// Class, name and descriptor of the Methodref or InterfaceMethodref at index.
bool readMemberRef(Tessera::ClassFile *classFile, int index, std::string *cls, std::string *name, std::string *desc);

// The method's code decoded behind a leading nop (from
// longInstructionVectorPool); null when it cannot be decoded (the decoder
// logged why).
std::vector<Tessera::AbstractInstruction *> *decodeWithLeadingNop(Tessera::CodeAttribute *code);
// Encodes the new list into the Code attribute and frees the list; returns
// the code length.
int storeCode(std::vector<Tessera::AbstractInstruction *> *instructions, Tessera::CodeAttribute *code);

} // namespace InstrumenterState

#endif
