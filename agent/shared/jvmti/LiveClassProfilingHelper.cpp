#include "LiveClassProfilingHelper.h"

#include <cstring>
#include <mutex>
#include <vector>
#include <string>
#include <unordered_map>

#include "ClassData.h"
#include "InternalMonitor.h"
#include "LiveClassProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveProfiling.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "PointerHashSet.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"

namespace {

const jvmtiError CLASS_NOT_PREPARED = JVMTI_ERROR_CLASS_NOT_PREPARED;
const jint MODIFIER_STATIC = 8;

// Classes by dotted name; guarded by the class lock.
std::unordered_map<std::string, ClassData *> classNameToClassData;

// A JVMTI buffer released when the scope ends.
template <class T>
class JvmtiBuffer {
public:
    JvmtiBuffer() : pointer(nullptr) {}
    ~JvmtiBuffer()
    {
        if (pointer != nullptr)
            LiveProfiling::jvmti->Deallocate(reinterpret_cast<unsigned char *>(pointer));
    }
    JvmtiBuffer(const JvmtiBuffer &) = delete;
    JvmtiBuffer &operator=(const JvmtiBuffer &) = delete;
    T **out() { return &pointer; }
    T *get() const { return pointer; }

private:
    T *pointer;
};

// A JNI local frame popped when the scope ends.
class LocalFrame {
public:
    LocalFrame(JNIEnv *env, jint capacity) : env(env), pushed(env->PushLocalFrame(capacity) == 0) {}
    ~LocalFrame()
    {
        if (pushed)
            env->PopLocalFrame(nullptr);
    }
    LocalFrame(const LocalFrame &) = delete;
    LocalFrame &operator=(const LocalFrame &) = delete;

private:
    JNIEnv *env;
    bool pushed;
};

ProfilingSession *owner()
{
    return LiveClassProfilingHelper::getSession()->getProfilingSession();
}

// The original Thread.sleep, called by the agent's wrapper.
typedef void(JNICALL *SleepFunction)(JNIEnv *, jclass, jlong);

// A sleep counts as waiting time of the sleeping thread.
void JNICALL sleepWrapper(JNIEnv *env, jclass klass, jlong ms)
{
    LiveCpuProfilingHelper::sleepEnter(env);
    reinterpret_cast<SleepFunction>(LiveClassProfilingHelper::getSleepImplementation())(env, klass, ms);
    LiveCpuProfilingHelper::sleepExit(env);
}

// Native bindings made while the VM could not describe methods yet.
struct EarlyBinding {
    jmethodID method;
    void *address;
};
std::mutex earlyBindingsLock;
std::vector<EarlyBinding> earlyBindings;

} // namespace

LiveClassProfilingSession *LiveClassProfilingHelper::liveClassProfilingSession = nullptr;
PointerHashMap<ClassData, int> *LiveClassProfilingHelper::classIdToClassData = nullptr;
PointerHashMap<MethodDesc, void *> *LiveClassProfilingHelper::methodIdToMethodDesc = nullptr;
jmethodID LiveClassProfilingHelper::threadSleepMethodID = nullptr;
jmethodID LiveClassProfilingHelper::unsafeParkMethodID = nullptr;
void *LiveClassProfilingHelper::sleepImplementation = nullptr;
void *LiveClassProfilingHelper::parkImplementation = nullptr;
int LiveClassProfilingHelper::numFilteredClasses = 0;
int LiveClassProfilingHelper::numUnfilteredClasses = 0;

void LiveClassProfilingHelper::init(LiveClassProfilingSession *session)
{
    liveClassProfilingSession = session;
    if (classIdToClassData == nullptr) {
        classIdToClassData = new PointerHashMap<ClassData, int>(50000, 0.75f);
        methodIdToMethodDesc = new PointerHashMap<MethodDesc, void *>(200000, 0.75f);
    }
}

ClassData *LiveClassProfilingHelper::getJvmtiClassData(long long tag)
{
    return classIdToClassData->get(static_cast<int>(tag & 0xFFFFFFFFLL));
}

ClassData *LiveClassProfilingHelper::getLoadedClassData(const char *signatureOrName, bool count)
{
    const char *start = signatureOrName[0] == 'L' ? signatureOrName + 1 : signatureOrName;
    std::string name;
    for (const char *p = start; *p != '\0' && *p != ';'; p++)
        name.push_back(*p == '/' ? '.' : *p);
    ClassData *classData = new ClassData(name.c_str(), liveClassProfilingSession);
    liveClassProfilingSession->addClassData(classData);
    classNameToClassData.emplace(name, classData);
    if (count) {
        if (liveClassProfilingSession->isFilteredClassName(name.c_str(), true))
            numFilteredClasses++;
        else
            numUnfilteredClasses++;
    }
    return classData;
}

ClassData *LiveClassProfilingHelper::getJvmtiClassData(jclass klass, JNIEnv *env, bool withLoadInfo, bool create)
{
    if (klass == nullptr || liveClassProfilingSession == nullptr)
        return nullptr;
    jvmtiEnv *jvmti = LiveProfiling::jvmti;
    ProfilingSession *session = owner();
    // Class lock, then heap lock, entered separately: the heap lock is left
    // before the class lock and every exit must match its own enter.
    session->enterMonitor(IM_CLASS);
    session->enterMonitor(IM_HEAP);
    jlong tag = 0;
    if (jvmti->GetTag(klass, &tag) != JVMTI_ERROR_NONE) {
        session->exitMonitor(IM_HEAP, false);
        session->exitMonitor(IM_CLASS, false);
        return nullptr;
    }
    if (tag == 0) {
        if (!create) {
            session->exitMonitor(IM_HEAP, false);
            session->exitMonitor(IM_CLASS, false);
            return nullptr;
        }
        tag = LiveHeapProfilingHelper::getNewAllocItemId(liveClassProfilingSession->getJavaLangClassData());
        if (tag != 0 && jvmti->SetTag(klass, tag) != JVMTI_ERROR_NONE)
            MessageUtil::message("could not set class tag");
    }
    session->exitMonitor(IM_HEAP, false);

    ClassData *classData = getJvmtiClassData(tag);
    if (classData != nullptr) {
        if (withLoadInfo) {
            LocalFrame frame(env, 32);
            addClassLoadInformation(classData, klass, env, tag);
        }
        session->exitMonitor(IM_CLASS, false);
        return classData;
    }
    if (!create) {
        session->exitMonitor(IM_CLASS, false);
        return nullptr;
    }
    JvmtiBuffer<char> signature;
    if (jvmti->GetClassSignature(klass, signature.out(), nullptr) != JVMTI_ERROR_NONE || signature.get() == nullptr) {
        session->exitMonitor(IM_CLASS, false);
        return liveClassProfilingSession->getJavaLangClassData();
    }
    classData = getLoadedClassData(signature.get(), true);
    classIdToClassData->put(static_cast<int>(tag & 0xFFFFFFFFLL), classData);
    classData->setClassTag(tag);
    {
        LocalFrame frame(env, 32);
        if (withLoadInfo)
            addClassLoadInformation(classData, klass, env, tag);
    }
    const char *name = classData->getClassName();
    if (strcmp(name, "java.lang.Thread") == 0)
        threadSleepMethodID = findMethod(klass, "sleep", "(J)V");
    else if (strcmp(name, "sun.misc.Unsafe") == 0)
        unsafeParkMethodID = findMethod(klass, "park", "(ZJ)V");
    session->exitMonitor(IM_CLASS, false);
    return classData;
}

int LiveClassProfilingHelper::interfaceFieldCount(jclass klass, JNIEnv *env, void *visitedSet)
{
    PointerHashSet<ClassData> *visited = static_cast<PointerHashSet<ClassData> *>(visitedSet);
    jvmtiEnv *jvmti = LiveProfiling::jvmti;
    int total = 0;
    // Interfaces of the class and of each superclass; each interface counts once.
    jclass current = klass;
    while (current != nullptr) {
        jint count = 0;
        JvmtiBuffer<jclass> interfaces;
        if (jvmti->GetImplementedInterfaces(current, &count, interfaces.out()) == JVMTI_ERROR_NONE) {
            for (jint i = 0; i < count; i++) {
                ClassData *data = getJvmtiClassData(interfaces.get()[i], env, false, true);
                if (data == nullptr || !visited->add(data))
                    continue;
                jint fields = 0;
                JvmtiBuffer<jfieldID> ids;
                if (jvmti->GetClassFields(interfaces.get()[i], &fields, ids.out()) == JVMTI_ERROR_NONE)
                    total += fields;
                total += interfaceFieldCount(interfaces.get()[i], env, visitedSet);
            }
        }
        current = env->GetSuperclass(current);
    }
    return total;
}

void LiveClassProfilingHelper::addClassLoadInformation(ClassData *classData, jclass klass, JNIEnv *env, long long tag)
{
    classData->setClassTag(tag);
    if (classData->hasFieldInformation())
        return;
    jvmtiEnv *jvmti = LiveProfiling::jvmti;
    jint count = 0;
    JvmtiBuffer<jfieldID> fields;
    jvmtiError error = jvmti->GetClassFields(klass, &count, fields.out());
    if (error == CLASS_NOT_PREPARED || error == JVMTI_ERROR_WRONG_PHASE)
        return;
    if (error != JVMTI_ERROR_NONE) {
        MessageUtil::message("could not get fields for %s %d", classData->getClassName(), static_cast<int>(error));
        return;
    }
    PointerHashSet<ClassData> visited(11, 0.75f);
    int base = interfaceFieldCount(klass, env, &visited);
    classData->interfaceFieldCount = base;
    jclass super = env->GetSuperclass(klass);
    if (super != nullptr) {
        ClassData *superData = getJvmtiClassData(super, env, false, true);
        if (superData != nullptr && superData != classData) {
            classData->setSuperClassClassData(superData);
            base += superData->fieldIndexBase;
        }
    }
    for (jint i = 0; i < count; i++) {
        JvmtiBuffer<char> name;
        JvmtiBuffer<char> signature;
        jint modifiers = 0;
        if (jvmti->GetFieldName(klass, fields.get()[i], name.out(), signature.out(), nullptr) != JVMTI_ERROR_NONE) {
            MessageUtil::message("could not get field name for %s", classData->getClassName());
            break;
        }
        if (jvmti->GetFieldModifiers(klass, fields.get()[i], &modifiers) != JVMTI_ERROR_NONE) {
            MessageUtil::message("could not get field modifiers for %s", classData->getClassName());
            break;
        }
        classData->addField((modifiers & MODIFIER_STATIC) != 0, name.get(), signature.get(), i + base,
                            reinterpret_cast<void *>(fields.get()[i]));
    }
    classData->fieldIndexBase = base + count;
    classData->calculateReferenceMappings();
}

MethodDesc *LiveClassProfilingHelper::getMethodDesc(jmethodID method, JNIEnv *env, bool reportErrors)
{
    if (method == nullptr || methodIdToMethodDesc == nullptr)
        return nullptr;
    MethodDesc *found = methodIdToMethodDesc->get(reinterpret_cast<void *>(method));
    if (found != nullptr || env == nullptr)
        return found;
    jvmtiEnv *jvmti = LiveProfiling::jvmti;
    jclass declaring = nullptr;
    jvmtiError error = jvmti->GetMethodDeclaringClass(method, &declaring);
    if (error != JVMTI_ERROR_NONE) {
        if (reportErrors)
            MessageUtil::message("error: could not get declaring class (code %d)", static_cast<int>(error));
        return nullptr;
    }
    ClassData *classData = getJvmtiClassData(declaring, env, false, true);
    env->DeleteLocalRef(declaring);
    if (classData == nullptr)
        return nullptr;
    JvmtiBuffer<char> name;
    JvmtiBuffer<char> signature;
    error = jvmti->GetMethodName(method, name.out(), signature.out(), nullptr);
    if (error != JVMTI_ERROR_NONE) {
        if (reportErrors)
            MessageUtil::message("error: could not get method name (code %d)", static_cast<int>(error));
        return nullptr;
    }
    MethodDesc *methodDesc = new MethodDesc(classData, name.get(), -1, signature.get(), -1, liveClassProfilingSession,
                                            classData->getClassName());
    methodDesc->setMethodId(reinterpret_cast<void *>(method));
    liveClassProfilingSession->addMethodDesc(methodDesc);
    methodIdToMethodDesc->put(reinterpret_cast<void *>(method), methodDesc);
    return methodDesc;
}

jmethodID LiveClassProfilingHelper::findMethod(jclass klass, const char *name, const char *signature)
{
    jvmtiEnv *jvmti = LiveProfiling::jvmti;
    jint count = 0;
    JvmtiBuffer<jmethodID> methods;
    if (jvmti->GetClassMethods(klass, &count, methods.out()) != JVMTI_ERROR_NONE)
        return nullptr;
    for (jint i = 0; i < count; i++) {
        JvmtiBuffer<char> methodName;
        JvmtiBuffer<char> methodSignature;
        if (jvmti->GetMethodName(methods.get()[i], methodName.out(), methodSignature.out(), nullptr) != JVMTI_ERROR_NONE)
            continue;
        if (strcmp(methodName.get(), name) == 0 && strcmp(methodSignature.get(), signature) == 0)
            return methods.get()[i];
    }
    return nullptr;
}

ClassData *LiveClassProfilingHelper::findClassData(const char *className)
{
    if (liveClassProfilingSession == nullptr)
        return nullptr;
    ProfilingSession *session = owner();
    session->enterMonitor(IM_CLASS);
    auto it = classNameToClassData.find(className);
    ClassData *found = it != classNameToClassData.end() ? it->second : nullptr;
    session->exitMonitor(IM_CLASS, false);
    return found;
}

void LiveClassProfilingHelper::registerComponentType(const char *className, int type)
{
    ProfilingSession *session = owner();
    session->enterMonitor(IM_CLASS);
    auto it = classNameToClassData.find(className);
    if (it != classNameToClassData.end())
        it->second->setComponentType(type);
    session->exitMonitor(IM_CLASS, false);
}

void LiveClassProfilingHelper::registerDisplayName(const char *className, const char *displayName, int type)
{
    ProfilingSession *session = owner();
    session->enterMonitor(IM_CLASS);
    auto it = classNameToClassData.find(className);
    if (it != classNameToClassData.end() && it->second->getDisplayName() == nullptr) {
        ClassData *classData = it->second;
        classData->setDisplayName(displayName);
        classData->setComponentType(type);
        auto shown = classNameToClassData.find(displayName);
        if (shown != classNameToClassData.end())
            classData->displayClassMethodDesc = shown->second->classMethodDesc;
    }
    session->exitMonitor(IM_CLASS, false);
}

void LiveClassProfilingHelper::getTelemetryData(int *filtered, int *unfiltered)
{
    *filtered = numFilteredClasses;
    *unfiltered = numUnfilteredClasses;
}

void JNICALL LiveClassProfilingHelper::ovClassPrepare(jvmtiEnv *, JNIEnv *env, jthread, jclass klass)
{
    if (liveClassProfilingSession == nullptr)
        return;
    ProfilingSession *session = owner();
    session->enterMonitor(IM_CLASS);
    getJvmtiClassData(klass, env, true, true);
    session->exitMonitor(IM_CLASS, false);
}

void JNICALL LiveClassProfilingHelper::ovNativeMethodBind(jvmtiEnv *, JNIEnv *, jthread, jmethodID method, void *address,
                                                           void **newAddress)
{
    if (method == nullptr || address == reinterpret_cast<void *>(&sleepWrapper))
        return;
    jvmtiPhase phase = JVMTI_PHASE_LIVE;
    LiveProfiling::jvmti->GetPhase(&phase);
    if (phase == JVMTI_PHASE_PRIMORDIAL) {
        // Nothing can be asked about the method yet: remember the binding
        // for bindSleepWrapper.
        std::lock_guard<std::mutex> guard(earlyBindingsLock);
        earlyBindings.push_back({method, address});
        return;
    }
    if (method == threadSleepMethodID) {
        sleepImplementation = address;
        *newAddress = reinterpret_cast<void *>(&sleepWrapper);
    } else if (method == unsafeParkMethodID) {
        // No park wrapper yet: the VM's implementation stays bound.
        parkImplementation = address;
    }
}

// Java side: com.orvane.agent.Agent.registerComponentType(String, int) and
// registerDisplayName(String, String, int).
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_registerComponentType(JNIEnv *env, jclass, jstring name, jint type)
{
    if (name == nullptr || LiveClassProfilingHelper::getSession() == nullptr)
        return;
    const char *chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr)
        return;
    LiveClassProfilingHelper::registerComponentType(chars, type);
    env->ReleaseStringUTFChars(name, chars);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_registerDisplayName(JNIEnv *env, jclass, jstring name, jstring display,
                                                                                 jint type)
{
    if (name == nullptr || display == nullptr || LiveClassProfilingHelper::getSession() == nullptr)
        return;
    const char *className = env->GetStringUTFChars(name, nullptr);
    const char *displayName = env->GetStringUTFChars(display, nullptr);
    if (className != nullptr && displayName != nullptr)
        LiveClassProfilingHelper::registerDisplayName(className, displayName, type);
    if (className != nullptr)
        env->ReleaseStringUTFChars(name, className);
    if (displayName != nullptr)
        env->ReleaseStringUTFChars(display, displayName);
}

void LiveClassProfilingHelper::bindSleepWrapper(JNIEnv *env)
{
    if (sleepImplementation != nullptr)
        return;
    jclass thread = env->FindClass("java/lang/Thread");
    if (thread == nullptr) {
        env->ExceptionClear();
        return;
    }
    jmethodID sleep = env->GetStaticMethodID(thread, "sleep", "(J)V");
    if (sleep == nullptr) {
        env->ExceptionClear();
        env->DeleteLocalRef(thread);
        return;
    }
    void *original = nullptr;
    {
        std::lock_guard<std::mutex> guard(earlyBindingsLock);
        for (const EarlyBinding &b : earlyBindings) {
            if (b.method == sleep)
                original = b.address;
        }
    }
    if (original != nullptr) {
        // Rebinding sends a bind event for the wrapper itself, which is left alone.
        sleepImplementation = original;
        threadSleepMethodID = sleep;
        JNINativeMethod wrapper = {const_cast<char *>("sleep"), const_cast<char *>("(J)V"), reinterpret_cast<void *>(&sleepWrapper)};
        if (env->RegisterNatives(thread, &wrapper, 1) != 0) {
            env->ExceptionClear();
            MessageUtil::message("could not wrap Thread.sleep");
        }
    }
    env->DeleteLocalRef(thread);
}
