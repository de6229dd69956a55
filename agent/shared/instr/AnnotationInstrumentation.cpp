#include "AnnotationInstrumentation.h"

#include <cstring>
#include <set>

#include "Instrumenter.h"
#include "MessageUtil.h"
#include "ProbeInstrumentation.h"
#include "SessionConfig.h"
#include "structures/ClassFile.h"
#include "structures/MethodInfo.h"

using namespace Tessera;

namespace {

const int ACC_ABSTRACT = 0x0400;
const char *const THREAD = "java/lang/Thread";
const char *const FILE_OUT = "java/io/FileOutputStream";
const char *const FILE_IN = "java/io/FileInputStream";
const char *const RANDOM_ACCESS = "java/io/RandomAccessFile";

// The built-in probes: method, descriptor, kind, class, value.
const struct {
    const char *name;
    const char *descriptor;
    int kind;
    const char *className;
    int value;
} BUILT_IN[] = {
    {"start", "()V", AnnotationInstrumentation::KIND_THREAD_START, THREAD, -2},
    {"run", "()V", AnnotationInstrumentation::KIND_THREAD_RUN, THREAD, -2},
    {"open", "(Ljava/lang/String;)V", AnnotationInstrumentation::KIND_FILE, FILE_OUT, -2},
    {"open", "(Ljava/lang/String;)V", AnnotationInstrumentation::KIND_FILE, FILE_IN, -2},
    {"open", "(Ljava/lang/String;Z)V", AnnotationInstrumentation::KIND_FILE, FILE_OUT, -2},
    {"openAppend", "(Ljava/lang/String;)V", AnnotationInstrumentation::KIND_FILE, FILE_OUT, -2},
    {"openAppend", "(Ljava/lang/String;)V", AnnotationInstrumentation::KIND_FILE, FILE_IN, -2},
    {"close", "()V", AnnotationInstrumentation::KIND_FILE, FILE_OUT, -2},
    {"close", "()V", AnnotationInstrumentation::KIND_FILE, FILE_IN, -2},
    {"getChannel", "()Ljava/nio/channels/FileChannel;", AnnotationInstrumentation::KIND_FILE, FILE_OUT, -2},
    {"getChannel", "()Ljava/nio/channels/FileChannel;", AnnotationInstrumentation::KIND_FILE, FILE_IN, -2},
    {"open", "(Ljava/lang/String;I)V", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, -2},
    {"close", "()V", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, -2},
    // The public reads and writes: the natives below them have no body to
    // rewrite, and which private method they pass through differs between JDKs.
    {"write", "(I)V", AnnotationInstrumentation::KIND_FILE_IO, FILE_OUT, 0},
    {"write", "([B)V", AnnotationInstrumentation::KIND_FILE_IO, FILE_OUT, -1},
    {"write", "([BII)V", AnnotationInstrumentation::KIND_FILE_IO, FILE_OUT, 2},
    {"write", "(I)V", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, 0},
    {"write", "([B)V", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, -1},
    {"write", "([BII)V", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, 2},
    {"read", "()I", AnnotationInstrumentation::KIND_FILE_IO, FILE_IN, -1},
    {"read", "([B)I", AnnotationInstrumentation::KIND_FILE_IO, FILE_IN, -1},
    {"read", "([BII)I", AnnotationInstrumentation::KIND_FILE_IO, FILE_IN, -1},
    {"read", "()I", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, -1},
    {"read", "([B)I", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, -1},
    {"read", "([BII)I", AnnotationInstrumentation::KIND_FILE, RANDOM_ACCESS, -1},
};

// Classes whose methods a default probe without class pattern leaves out.
const char *const DEFAULT_EXCLUDED_PREFIXES[] = {"java/", "javax/", "com/sun/xml/", "com/sun/org/", "com/sun/java/help/"};

struct State {
    bool initialized = false;
    AnnotationInstrumentation::Environment environment;
    std::set<int> enabledKinds; // configuration switches, by positive kind
    bool componentDetection = true;
};

State &state()
{
    static State s;
    return s;
}

bool isIoKind(int id) { return id == AnnotationInstrumentation::KIND_FILE || id == AnnotationInstrumentation::KIND_FILE_IO; }

bool startsWith(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

std::string text(const char *chars, int length) { return std::string(chars, static_cast<size_t>(length)); }

bool kindSwitchedOn(int id)
{
    if (id == AnnotationInstrumentation::KIND_COMPONENT)
        return state().componentDetection;
    return state().enabledKinds.count(-id) != 0;
}

// Kinds that never depend on a configuration switch.
bool isAlwaysOnKind(int id)
{
    return id == AnnotationInstrumentation::KIND_THREAD_NAME || id == AnnotationInstrumentation::KIND_TRIGGER ||
           id == AnnotationInstrumentation::KIND_THREAD_START || id == AnnotationInstrumentation::KIND_EXCEPTIONAL;
}

void warnNoBody(const char *className, const std::string &method)
{
    const char *stars = "*******************************************************************";
    MessageUtil::message("%s", stars);
    MessageUtil::message("WARNING: %s.%s", className, method.c_str());
    MessageUtil::message("could not be instrumented because it contains no method body.");
    MessageUtil::message("Triggers and probes are not available for this method.");
    MessageUtil::message("%s", stars);
}

} // namespace

AnnotationInstrumentation::Table &AnnotationInstrumentation::table()
{
    static Table t;
    return t;
}

void AnnotationInstrumentation::setEnvironment(const Environment &environment)
{
    state().environment = environment;
}

void AnnotationInstrumentation::applyConfig(const SessionConfig *config)
{
    if (config == nullptr)
        return;
    state().enabledKinds.clear();
    for (int kind = 0; kind < SessionConfig::MAX_ANNOTATION_TYPES; kind++) {
        if (config->probeSwitches[kind] != 0)
            state().enabledKinds.insert(kind);
    }
    state().componentDetection = config->componentDetection;
}

void AnnotationInstrumentation::init()
{
    State &s = state();
    if (s.initialized)
        return;
    s.initialized = true;
    if (s.environment.profilerInterface)
        return; // only the rows the Java side registers
    if (s.environment.recordThreadNameChanges) {
        table()[{"setName", "(Ljava/lang/String;)V"}].push_back(AnnotationTask{KIND_THREAD_NAME, 0, THREAD, -2});
        table()[{"sleep", "(J)V"}].push_back(AnnotationTask{KIND_THREAD_NAME, 0, THREAD, -2});
    }
    for (const auto &row : BUILT_IN)
        table()[{row.name, row.descriptor}].push_back(AnnotationTask{row.kind, 0, row.className, row.value});
}

void AnnotationInstrumentation::reset()
{
    table().clear();
    state() = State();
}

void AnnotationInstrumentation::addAnnotationMethod(const char *classPattern, const char *name, const char *descriptor,
                                                    int id, int flags, int value)
{
    init();
    std::string pattern = classPattern != nullptr ? classPattern : "";
    for (char &c : pattern) {
        if (c == '.')
            c = '/';
    }
    table()[{name, descriptor}].push_back(AnnotationTask{id, flags, pattern, value});
}

int AnnotationInstrumentation::registerMethods(const std::vector<Row> &rows, int id)
{
    if (id == 0)
        return 0;
    int added = 0;
    for (const Row &row : rows) {
        if (row.name == nullptr || row.descriptor == nullptr || row.name[0] == '\0' || row.descriptor[0] == '\0')
            continue;
        addAnnotationMethod(row.className, row.name, row.descriptor, id, row.flags, row.value);
        added++;
    }
    return added;
}

void AnnotationInstrumentation::removeTriggerAndExceptionalMethods()
{
    for (auto &entry : table()) {
        std::vector<AnnotationTask> &tasks = entry.second;
        std::vector<AnnotationTask> kept;
        for (const AnnotationTask &t : tasks) {
            if (t.id != KIND_TRIGGER && t.id != KIND_EXCEPTIONAL)
                kept.push_back(t);
        }
        tasks.swap(kept);
    }
}

const std::vector<AnnotationInstrumentation::AnnotationTask> *AnnotationInstrumentation::getTasks(const std::string &name,
                                                                                                 const std::string &descriptor)
{
    auto found = table().find({name, descriptor});
    return found == table().end() || found->second.empty() ? nullptr : &found->second;
}

bool AnnotationInstrumentation::isEnabled(const AnnotationTask &task, const char *className, bool possible, bool fromJava)
{
    const Environment &env = state().environment;
    if (isIoKind(task.id) && env.ibmVm)
        return false;
    if (((task.flags & FLAG_ONLY_FROM_JAVA) != 0 && !fromJava) || ((task.flags & FLAG_NEVER_FROM_JAVA) != 0 && fromJava))
        return false;
    if (!task.pattern.empty()) {
        bool matches = (task.flags & FLAG_SUBSTRING) != 0 ? strstr(className, task.pattern.c_str()) != nullptr
                                                          : task.pattern == className;
        if (!matches)
            return false;
    }
    if (env.attached && task.id == KIND_FILE)
        return false;
    if (possible)
        return true;
    if (task.pattern.empty() && task.id == KIND_DEFAULT) {
        for (const char *prefix : DEFAULT_EXCLUDED_PREFIXES) {
            if (startsWith(className, prefix))
                return false;
        }
    }
    if (task.id < 1 && !isAlwaysOnKind(task.id) && (!isIoKind(task.id) || fromJava) && !kindSwitchedOn(task.id))
        return false;
    return true;
}

int AnnotationInstrumentation::getAnnotationInstrType(ClassFile *classFile, const char *className, bool fromJava)
{
    init();
    int type = 0;
    for (MethodInfo *m : classFile->getMethods()) {
        if ((m->getAccessFlags() & ACC_ABSTRACT) != 0)
            continue;
        const std::vector<AnnotationTask> *tasks =
            getTasks(text(m->getName(), m->getNameLength()), text(m->getSignature(), m->getSignatureLength()));
        if (tasks == nullptr)
            continue;
        for (const AnnotationTask &t : *tasks) {
            if (isEnabled(t, className, false, fromJava))
                type |= (t.flags & FLAG_OUTER) != 0 ? 2 : 1;
            else if (isEnabled(t, className, true, fromJava))
                type |= 4;
        }
    }
    return type;
}

bool AnnotationInstrumentation::isPossibleAnnotationClass(const char *className, const char *methodName, const char *descriptor)
{
    init();
    const std::vector<AnnotationTask> *tasks = getTasks(methodName, descriptor);
    if (tasks == nullptr)
        return false;
    for (const AnnotationTask &t : *tasks) {
        if ((t.flags & FLAG_NOT_POSSIBLE) == 0 && isEnabled(t, className, true, false))
            return true;
    }
    return false;
}

std::vector<int> AnnotationInstrumentation::collectIds(const std::vector<AnnotationTask> &tasks, const char *className,
                                                       bool outerPass, bool fromJava, bool keepExceptional, int *value)
{
    std::vector<int> ids;
    bool file = false;
    bool io = false;
    for (const AnnotationTask &t : tasks) {
        if (((t.flags & FLAG_OUTER) != 0) != outerPass || !isEnabled(t, className, false, fromJava))
            continue;
        if (t.id == KIND_EXCEPTIONAL && !keepExceptional)
            continue;
        *value = t.value;
        if (t.id == KIND_FILE)
            file = true;
        else if (t.id == KIND_IO)
            io = true;
        else
            ids.push_back(t.id);
    }
    if (io)
        ids.push_back(file ? KIND_FILE_IO : KIND_IO);
    else if (file)
        ids.push_back(KIND_FILE);
    if (ids.size() >= 2)
        *value = ProbeInstrumentation::VALUE_ALL_ARGUMENTS;
    return ids;
}

void AnnotationInstrumentation::instrument(JNIEnv *, ClassFile *classFile, const char *className, bool filtered,
                                           bool special, bool redefining, int pass, bool fromJava)
{
    init();
    bool hooksAdded = false;
    ProbeInstrumentation::Hooks hooks;
    // Wrapping a native method appends to the method list: walk the original ones.
    std::vector<MethodInfo *> methods = classFile->getMethods();
    for (MethodInfo *m : methods) {
        if ((m->getAccessFlags() & ACC_ABSTRACT) != 0)
            continue;
        std::string name = text(m->getName(), m->getNameLength());
        const std::vector<AnnotationTask> *tasks = getTasks(name, text(m->getSignature(), m->getSignatureLength()));
        if (tasks == nullptr)
            continue;
        bool keepExceptional = !filtered || (special && Instrumenter::isInstrumented(classFile, m, redefining));
        int value = ProbeInstrumentation::VALUE_ALL_ARGUMENTS;
        std::vector<int> ids = collectIds(*tasks, className, pass == 2, fromJava, keepExceptional, &value);
        for (int id : ids) {
            Tessera::CodeAttribute *code = Instrumenter::getCodeAttributeOrCreateForNativeMethod(classFile, m, redefining);
            if (code == nullptr) {
                bool patterned = false;
                for (const AnnotationTask &t : *tasks)
                    patterned = patterned || (t.id == id && !t.pattern.empty());
                if (id > 0 && patterned)
                    warnNoBody(className, name);
                continue;
            }
            if (!hooksAdded) {
                hooks = ProbeInstrumentation::addHooks(classFile, state().environment.profilerInterface);
                hooksAdded = true;
            }
            ProbeInstrumentation::addProfilingHookToMethod(classFile, m, code, className, id, hooks, value);
        }
    }
}
