// The instrumenter's records (its own ClassData and MethodDesc per name), the
// hook and net I/O tables, and the constant-pool work that needs no decoded
// code: sleep references, their redirection and the raw constant-pool walk.
// The method rewriting itself is in InstrumenterMethodHooks.cpp.
#include "Instrumenter.h"

#include <cstring>
#include <memory>

#include "AnnotationInstrumentation.h"
#include "ClassData.h"
#include "ClassProfilingHelper.h"
#include "ClassProfilingSession.h"
#include "InstrumenterPrivate.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "MethodHandleTable.h"
#include "SessionConfig.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"

using namespace Tessera;

const char *const Instrumenter::NATIVE_METHOD_PREFIX = "__orvane_nmp_";

namespace {

const char *const CALLEE = "com/orvane/agent/InstrumentationCallee";
const char *const CALLEE_SIMPLE = "com/orvane/agent/InstrumentationCalleeSimple";
const char *const LOCK_MANAGER = "com/orvane/agent/LockManager";

const char *const SLEEP_REDIRECT_NAME = "__orvane_sleep";

} // namespace

const Instrumenter::HookMethod Instrumenter::HOOKS[HOOK_COUNT] = {
    {CALLEE, "__orvane_enterMethod", "(SSS)V"},
    {CALLEE, "__orvane_exitMethod", "(SS)V"},
    {CALLEE, "__orvane_exceptionHandlerMethod", "(SS)V"},
    {CALLEE, "__orvane_filter_enterMethod", "(SSS)V"},
    {CALLEE, "__orvane_filter_exitMethod", "(SS)V"},
    {CALLEE, "__orvane_enterConstructor", "(SSS)V"},
    {CALLEE, "__orvane_linenumber_hint", "(S)V"},
    {CALLEE, "__orvane_cobalt_enterMethod", "(SSS)V"},
    {CALLEE, "__orvane_cobalt_exitMethod", "(SS)V"},
    {CALLEE, "__orvane_enterSleep", "()V"},
    {CALLEE, "__orvane_exitSleep", "()V"},
    {CALLEE, "__orvane_netIOMethod", "(SS)V"},
    {CALLEE, "__orvane_registerClass", "(Ljava/lang/Class;)V"},
    {CALLEE, "__orvane_computeDefaultSUID", "(Ljava/lang/Class;)J"},
    {CALLEE_SIMPLE, "registerAllocation", "(Ljava/lang/Object;)V"},
    {CALLEE_SIMPLE, "registerArrayAllocation", "(Ljava/lang/Object;I)V"},
    {CALLEE_SIMPLE, "__orvane_useSystemClassLoader", "(Ljava/lang/Object;Ljava/lang/String;)Z"},
    {CALLEE_SIMPLE, "__orvane_loadClass", "(Ljava/lang/String;)Ljava/lang/Class;"},
    {LOCK_MANAGER, SLEEP_REDIRECT_NAME, "(J)V"},
    {LOCK_MANAGER, "__orvane_parkEnter", "(Ljava/lang/Object;)V"},
    {LOCK_MANAGER, "__orvane_parkExit", "(Ljava/lang/Object;)V"},
    {"com/orvane/agent/Agent", "initFromMainClass", "(Ljava/lang/String;)V"},
};

const char *const Instrumenter::NET_IO_CLASSES[NET_IO_CLASS_COUNT] = {
    "java/net/SocketOutputStream",
    "java/net/SocketInputStream",
    "java/net/PlainSocketImpl",
    "java/net/AbstractPlainSocketImpl",
    "sun/nio/ch/SocketChannelImpl",
    "sun/nio/ch/ServerSocketChannelImpl",
    "sun/nio/ch/SelectorImpl",
    "java/net/DatagramSocket",
    "weblogic/socket/PosixSocketMuxer",
    "weblogic/socket/NTSocketMuxer",
    "com/ibm/io/async/AsyncLibrary",
    "org/apache/tomcat/jni/Socket",
    "org/apache/tomcat/jni/Poll",
};

const Instrumenter::NetIoMethod Instrumenter::NET_IO_METHODS[NET_IO_METHOD_COUNT] = {
    {"java/net/SocketOutputStream", "socketWrite", "([BII)V"},
    {"java/net/SocketInputStream", "read", "([BII)I"},
    {"java/net/AbstractPlainSocketImpl", "doConnect", "(Ljava/net/InetAddress;II)V"},
    {"java/net/AbstractPlainSocketImpl", "listen", "(I)V"},
    {"java/net/AbstractPlainSocketImpl", "accept", "(Ljava/net/SocketImpl;)V"},
    {"java/net/AbstractPlainSocketImpl", "close", "()V"},
    {"java/net/PlainSocketImpl", "doConnect", "(Ljava/net/InetAddress;II)V"},
    {"java/net/PlainSocketImpl", "listen", "(I)V"},
    {"java/net/PlainSocketImpl", "accept", "(Ljava/net/SocketImpl;)V"},
    {"java/net/PlainSocketImpl", "close", "()V"},
    {"sun/nio/ch/SocketChannelImpl", "read", nullptr},
    {"sun/nio/ch/SocketChannelImpl", "write", nullptr},
    {"sun/nio/ch/ServerSocketChannelImpl", "accept", nullptr},
    {"sun/nio/ch/SelectorImpl", "select", "(J)I"},
    {"java/net/DatagramSocket", "receive", nullptr},
    {"java/net/DatagramSocket", "send", nullptr},
    {"weblogic/socket/PosixSocketMuxer", "processSockets", nullptr},
    {"weblogic/socket/NTSocketMuxer", "processSockets", nullptr},
    {"com/ibm/io/async/AsyncLibrary", "aio_getioev2", nullptr},
    {"org/apache/tomcat/jni/Socket", nullptr, nullptr},
    {"org/apache/tomcat/jni/Poll", nullptr, nullptr},
};

namespace InstrumenterState {

Context &context()
{
    static Context c;
    return c;
}

std::string dotted(const char *name)
{
    std::string s(name != nullptr ? name : "");
    for (char &c : s) {
        if (c == '/')
            c = '.';
    }
    return s;
}

std::string slashed(const char *name)
{
    std::string s(name != nullptr ? name : "");
    for (char &c : s) {
        if (c == '.')
            c = '/';
    }
    return s;
}

bool equalsText(const char *chars, int length, const char *text)
{
    return chars != nullptr && static_cast<int>(strlen(text)) == length && memcmp(chars, text, length) == 0;
}

std::string methodKey(const std::string &dottedClass, const std::string &name, const std::string &signature)
{
    std::string key;
    key.reserve(dottedClass.size() + name.size() + signature.size() + 2);
    key.append(dottedClass).push_back('\0');
    key.append(name).push_back('\0');
    key.append(signature);
    return key;
}

MethodRecord *findRecord(MethodDesc *method)
{
    Context &c = context();
    auto it = c.recordsByDesc.find(method);
    return it == c.recordsByDesc.end() ? nullptr : it->second;
}

MethodRecord *getRecord(const char *className, const char *methodName, const char *signature)
{
    Context &c = context();
    std::string cls = dotted(className);
    std::string name(methodName);
    if (name == SLEEP_REDIRECT_NAME) {
        cls = "java.lang.Thread";
        name = "sleep";
    }
    std::string key = methodKey(cls, name, signature);
    auto it = c.methods.find(key);
    if (it != c.methods.end())
        return it->second.get();
    ClassData *classData = Instrumenter::getClassData(cls.c_str());
    std::unique_ptr<MethodRecord> record(new MethodRecord());
    record->desc = new MethodDesc(classData, name.c_str(), -1, signature, -1, c.classSession, cls.c_str());
    MethodRecord *result = record.get();
    c.recordsByDesc[result->desc] = result;
    c.methods.emplace(key, std::move(record));
    if (c.classSession != nullptr)
        c.classSession->addMethodDesc(result->desc);
    return result;
}

} // namespace InstrumenterState

using namespace InstrumenterState;

void Instrumenter::initialize(ClassProfilingSession *classSession, ProfilingSession *liveSession,
                              MethodHandleTable *handles)
{
    Context &c = context();
    c.methods.clear();
    c.recordsByDesc.clear();
    c.classes.clear();
    c.autoTunedMethods.clear();
    c.classSession = classSession;
    c.liveSession = liveSession;
    c.handles = handles;
}

void Instrumenter::applyConfig(const SessionConfig *config)
{
    Context &c = context();
    c.lineNumbers = config != nullptr && config->lineNumbers;
    c.ignoredMethods.clear();
    if (config == nullptr)
        return;
    AnnotationInstrumentation::applyConfig(config);
    for (const AnnotationMethodAndClass &m : config->ignoredMethods)
        c.ignoredMethods.insert(m);
}

void Instrumenter::setReplaceNativeMethods(bool replace) { context().replaceNativeMethods = replace; }

int Instrumenter::addHookMethodref(ClassFile *classFile, HookId hook)
{
    const HookMethod &h = HOOKS[hook];
    return ConstantPoolUtil::addConstantMethodrefInfo(classFile, h.className, h.name, h.descriptor);
}

ClassData *Instrumenter::getClassData(const char *className)
{
    Context &c = context();
    std::string name = dotted(className);
    auto it = c.classes.find(name);
    if (it != c.classes.end())
        return it->second;
    ClassData *classData = new ClassData(name.c_str(), c.classSession);
    c.classes[name] = classData;
    if (c.classSession != nullptr)
        c.classSession->addClassData(classData);
    return classData;
}

MethodDesc *Instrumenter::getMethodDesc(const char *className, const char *methodName, const char *signature)
{
    return getRecord(className, methodName, signature)->desc;
}

int32_t Instrumenter::getMethodId(MethodDesc *method)
{
    Context &c = context();
    if (method == nullptr || c.handles == nullptr)
        return 0;
    return c.handles->getHandle(method);
}

MethodDesc *Instrumenter::getInstrumenterMethodDesc(MethodDesc *method)
{
    if (method == nullptr || method->getClassData() == nullptr)
        return nullptr;
    Context &c = context();
    std::string cls = dotted(method->getClassData()->getClassName());
    std::string name = method->getMethodName();
    std::string signature = method->getMethodSignature();
    if (name == SLEEP_REDIRECT_NAME) {
        cls = "java.lang.Thread";
        name = "sleep";
        signature = "(J)V";
    }
    auto it = c.methods.find(methodKey(cls, name, signature));
    return it == c.methods.end() ? nullptr : it->second->desc;
}

int Instrumenter::getInstrumentationState(MethodDesc *method)
{
    MethodRecord *r = findRecord(method);
    return r == nullptr ? STATE_NOT_INSTRUMENTED : r->state;
}

void Instrumenter::setInstrumentationState(MethodDesc *method, int state)
{
    if (MethodRecord *r = findRecord(method))
        r->state = state;
}

std::unordered_set<ClassData *> *Instrumenter::getCallingClasses(MethodDesc *method)
{
    MethodRecord *r = findRecord(method);
    return r == nullptr ? nullptr : &r->callingClasses;
}

std::vector<MethodDesc *> Instrumenter::getMethodsWithCallingClasses()
{
    std::vector<MethodDesc *> result;
    for (const auto &m : context().methods) {
        if (!m.second->callingClasses.empty())
            result.push_back(m.second->desc);
    }
    return result;
}

void Instrumenter::registerComponentType(const char *className, int type)
{
    if (className == nullptr)
        return;
    Context &c = context();
    auto it = c.classes.find(dotted(className));
    if (it == c.classes.end())
        return;
    it->second->setComponentType(type);
    it->second->setSent(false);
}

void Instrumenter::registerDisplayName(const char *className, const char *displayName)
{
    if (className == nullptr || displayName == nullptr)
        return;
    Context &c = context();
    auto it = c.classes.find(dotted(className));
    if (it != c.classes.end())
        it->second->setDisplayName(displayName);
}

bool Instrumenter::isNetIoClass(const char *slashName)
{
    if (slashName == nullptr)
        return false;
    for (const char *name : NET_IO_CLASSES) {
        if (strcmp(name, slashName) == 0)
            return true;
    }
    return false;
}

bool Instrumenter::isNetIoMethod(const char *slashClassName, const char *methodName, int nameLength,
                                 const char *signature, int sigLength)
{
    if (slashClassName == nullptr)
        return false;
    for (const NetIoMethod &row : NET_IO_METHODS) {
        if (strcmp(row.className, slashClassName) != 0)
            continue;
        if (row.methodName != nullptr && !equalsText(methodName, nameLength, row.methodName))
            continue;
        if (row.signature != nullptr && !equalsText(signature, sigLength, row.signature))
            continue;
        return true;
    }
    return false;
}

bool Instrumenter::isNetIoMethod(MethodDesc *method)
{
    if (method == nullptr || method->getClassData() == nullptr)
        return false;
    std::string cls = slashed(method->getClassData()->getClassName());
    return isNetIoMethod(cls.c_str(), method->getMethodName(), static_cast<int>(strlen(method->getMethodName())),
                         method->getMethodSignature(), static_cast<int>(strlen(method->getMethodSignature())));
}

bool Instrumenter::isIgnoredMethod(const char *slashClassName, const char *methodName, int nameLength,
                                   const char *signature, int sigLength)
{
    if (slashClassName == nullptr)
        return false;
    if (strcmp(slashClassName, "java/awt/event/InvocationEvent") == 0 ||
        strcmp(slashClassName, "java.awt.event.InvocationEvent") == 0)
        return !equalsText(methodName, nameLength, "dispatch");
    Context &c = context();
    if (c.ignoredMethods.empty() && c.autoTunedMethods.empty())
        return false;
    std::string name(methodName, nameLength);
    std::string sig(signature, sigLength);
    if (!c.autoTunedMethods.empty() && c.autoTunedMethods.count(methodKey(dotted(slashClassName), name, sig)) != 0)
        return true;
    if (c.ignoredMethods.count(AnnotationMethodAndClass(slashClassName, name, sig)) != 0)
        return true;
    return c.ignoredMethods.count(AnnotationMethodAndClass(slashClassName, "*", "*")) != 0;
}

void Instrumenter::addAutoTunedMethod(const char *className, const char *methodName, const char *signature)
{
    if (className == nullptr || methodName == nullptr || signature == nullptr)
        return;
    context().autoTunedMethods.insert(methodKey(dotted(className), methodName, signature));
}

bool Instrumenter::isFilterInstrMethod(MethodDesc *method)
{
    if (method == nullptr || method->getClassData() == nullptr)
        return false;
    Context &c = context();
    const char *cls = method->getClassData()->getClassName();
    const char *name = method->getMethodName();
    const char *sig = method->getMethodSignature();
    std::string slash = slashed(cls);
    if (isIgnoredMethod(slash.c_str(), name, static_cast<int>(strlen(name)), sig, static_cast<int>(strlen(sig))))
        return false;
    if (strcmp(cls, "java.lang.reflect.InvocationHandler") == 0)
        return false;
    if (strcmp(cls, "java.lang.Object") == 0 && strcmp(name, "<init>") == 0)
        return false;
    if (strncmp(name, "__orvane_", 9) == 0)
        return false;
    return c.classSession != nullptr && c.classSession->isFilteredClassName(cls, true);
}

CodeAttribute *Instrumenter::getCodeAttribute(MethodInfo *method)
{
    return static_cast<CodeAttribute *>(method->findAttribute(CodeAttribute::CLASS_NAME));
}

void Instrumenter::ensureClassConstantLoadable(ClassFile *classFile)
{
    // ldc of a Class constant is only valid from version 49 on; 49 itself
    // needs no StackMapTable, so nothing else changes.
    if (classFile->getMajorVersion() < 49) {
        classFile->setMajorVersion(49);
        classFile->setMinorVersion(0);
    }
}

// Sleep references ----------------------------------------------------------

namespace {

// Class name, member name and descriptor of a Methodref; false when the entry
// is no Methodref or its parts cannot be read.
bool readMethodref(ClassFile *classFile, int index, const char **cls, int *clsLength, const char **name,
                   int *nameLength, const char **desc, int *descLength)
{
    std::vector<CPInfo *> &pool = classFile->getConstantPool();
    if (index <= 0 || index >= static_cast<int>(pool.size()) || pool[index] == nullptr)
        return false;
    CPInfo *entry = pool[index];
    if (entry->getTag() != CONSTANT_Methodref && entry->getTag() != CONSTANT_InterfaceMethodref)
        return false;
    ConstantReference *ref = static_cast<ConstantReference *>(entry);
    int classIndex = ref->getClassIndex();
    int ntIndex = ref->getNameAndTypeIndex();
    if (classIndex <= 0 || classIndex >= static_cast<int>(pool.size()) || ntIndex <= 0 ||
        ntIndex >= static_cast<int>(pool.size()))
        return false;
    if (pool[classIndex] == nullptr || pool[classIndex]->getTag() != CONSTANT_Class || pool[ntIndex] == nullptr ||
        pool[ntIndex]->getTag() != CONSTANT_NameAndType)
        return false;
    ConstantUtf8Info *c = classFile->findUtf8(static_cast<ConstantClassInfo *>(pool[classIndex])->getNameIndex());
    ConstantNameAndTypeInfo *nt = static_cast<ConstantNameAndTypeInfo *>(pool[ntIndex]);
    ConstantUtf8Info *n = classFile->findUtf8(nt->getNameIndex());
    ConstantUtf8Info *d = classFile->findUtf8(nt->getDescriptorIndex());
    if (c == nullptr || n == nullptr || d == nullptr)
        return false;
    *cls = c->getString();
    *clsLength = c->getStringLength();
    *name = n->getString();
    *nameLength = n->getStringLength();
    *desc = d->getString();
    *descLength = d->getStringLength();
    return true;
}

} // namespace

namespace InstrumenterState {

bool readMemberRef(ClassFile *classFile, int index, std::string *cls, std::string *name, std::string *desc)
{
    const char *c, *n, *d;
    int cl, nl, dl;
    if (!readMethodref(classFile, index, &c, &cl, &n, &nl, &d, &dl))
        return false;
    cls->assign(c, cl);
    name->assign(n, nl);
    desc->assign(d, dl);
    return true;
}

} // namespace InstrumenterState

void Instrumenter::findSleepRefs(ClassFile *classFile, std::vector<int> *replaceRefs, std::vector<int> *staticSleepRefs,
                                 std::vector<int> *parkRefs)
{
    std::vector<CPInfo *> &pool = classFile->getConstantPool();
    for (int i = 1; i < static_cast<int>(pool.size()); i++) {
        if (pool[i] == nullptr || pool[i]->getTag() != CONSTANT_Methodref)
            continue;
        const char *cls, *name, *desc;
        int clsLength, nameLength, descLength;
        if (!readMethodref(classFile, i, &cls, &clsLength, &name, &nameLength, &desc, &descLength))
            continue;
        if (equalsText(name, nameLength, "sleep") && equalsText(desc, descLength, "(J)V")) {
            bool thread = equalsText(cls, clsLength, "java/lang/Thread");
            std::vector<int> *list = thread ? replaceRefs : staticSleepRefs;
            if (list != nullptr)
                list->push_back(i);
        } else if (equalsText(name, nameLength, "park") && equalsText(desc, descLength, "(ZJ)V") &&
                   equalsText(cls, clsLength, "sun/misc/Unsafe")) {
            if (parkRefs != nullptr)
                parkRefs->push_back(i);
        }
    }
}

void Instrumenter::replaceMethodRefs(ClassFile *classFile, const std::vector<int> &refs)
{
    if (refs.empty())
        return;
    const HookMethod &h = HOOKS[HOOK_SLEEP];
    int classIndex = ConstantPoolUtil::addConstantClassInfo(classFile, h.className);
    int ntIndex = ConstantPoolUtil::addConstantNameAndTypeInfo(classFile, h.name, h.descriptor);
    std::vector<CPInfo *> &pool = classFile->getConstantPool();
    for (int index : refs) {
        if (index <= 0 || index >= static_cast<int>(pool.size()) || pool[index] == nullptr ||
            pool[index]->getTag() != CONSTANT_Methodref)
            continue;
        // The entry changes its value: take it out of the find-or-add index
        // while it changes, so that later look-ups see the new value.
        classFile->unregisterConstantPoolEntry(index);
        ConstantReference *ref = static_cast<ConstantReference *>(pool[index]);
        ref->setClassIndex(classIndex);
        ref->setNameAndTypeIndex(ntIndex);
        classFile->registerConstantPoolEntry(index);
    }
}

// Raw constant pool ------------------------------------------------------------

namespace {

bool rawUtf8Equals(const unsigned char *bytes, const std::vector<int> &offsets, int index, const char *text)
{
    if (index <= 0 || index >= static_cast<int>(offsets.size()) || offsets[index] < 0)
        return false;
    const unsigned char *e = bytes + offsets[index];
    if (e[0] != CONSTANT_Utf8)
        return false;
    int n = (e[1] << 8) | e[2];
    return equalsText(reinterpret_cast<const char *>(e + 3), n, text);
}

} // namespace

bool Instrumenter::hasSleepNameAndTypeEntry(int count, int length, const unsigned char *bytes)
{
    if (count <= 1 || bytes == nullptr || length <= 0)
        return false;
    std::vector<int> offsets;
    if (!ClassProfilingHelper::indexRawConstantPool(count, length, bytes, offsets))
        return false;
    for (int index = 1; index < count; index++) {
        if (offsets[index] < 0 || bytes[offsets[index]] != CONSTANT_NameAndType)
            continue;
        const unsigned char *e = bytes + offsets[index];
        int nameIndex = (e[1] << 8) | e[2];
        int descIndex = (e[3] << 8) | e[4];
        if ((rawUtf8Equals(bytes, offsets, nameIndex, "sleep") && rawUtf8Equals(bytes, offsets, descIndex, "(J)V")) ||
            (rawUtf8Equals(bytes, offsets, nameIndex, "park") && rawUtf8Equals(bytes, offsets, descIndex, "(ZJ)V")))
            return true;
    }
    return false;
}
