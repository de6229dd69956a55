#include "LiveClassProfilingHelper.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>
#include <string>
#include <unordered_map>

#include "AnnotationInstrumentation.h"
#include "ClassData.h"
#include "DataWriter.h"
#include "ClassDecisionsAutoTune.h"
#include "ClassDecisionsJvmti.h"
#include "CpuProfilingSession.h"
#include "Instrumenter.h"
#include "InternalMonitor.h"
#include "JavaNatives.h"
#include "JvmtiBuffer.h"
#include "LiveClassProfilingSession.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "PointerHashSet.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "SessionLock.h"

namespace {

const jvmtiError CLASS_NOT_PREPARED = JVMTI_ERROR_CLASS_NOT_PREPARED;
const jint MODIFIER_STATIC = 8;

// Classes by dotted name; guarded by the class lock.
std::unordered_map<std::string, ClassData *> classNameToClassData;

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

// The VM's native sleep of Thread (Thread.sleep or the private native under
// it), called by the agent's wrapper with the argument unchanged.
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
    // A component type the rewriting found before the class had a record.
    int componentType = 0;
    if (liveClassProfilingSession->getDecisions().getConfig()->componentDetection &&
        liveClassProfilingSession->getDecisions().takeAnnotatedComponentClass(name, &componentType)) {
        classData->setComponentType(componentType);
        Instrumenter::registerComponentType(name.c_str(), componentType);
    }
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
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
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
        threadSleepMethodID = findNativeSleepMethod(klass, nullptr);
    else if (strcmp(name, "sun.misc.Unsafe") == 0)
        unsafeParkMethodID = findMethod(klass, "park", "(ZJ)V");
    session->exitMonitor(IM_CLASS, false);
    return classData;
}

int LiveClassProfilingHelper::interfaceFieldCount(jclass klass, JNIEnv *env, void *visitedSet)
{
    PointerHashSet<ClassData> *visited = static_cast<PointerHashSet<ClassData> *>(visitedSet);
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
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
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
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
        // A VM that is ending answers nothing more: that is no fault of the class.
        error = jvmti->GetFieldName(klass, fields.get()[i], name.out(), signature.out(), nullptr);
        if (error != JVMTI_ERROR_NONE) {
            if (error != JVMTI_ERROR_WRONG_PHASE)
                MessageUtil::message("could not get field name for %s %d", classData->getClassName(), static_cast<int>(error));
            break;
        }
        error = jvmti->GetFieldModifiers(klass, fields.get()[i], &modifiers);
        if (error != JVMTI_ERROR_NONE) {
            if (error != JVMTI_ERROR_WRONG_PHASE)
                MessageUtil::message("could not get field modifiers for %s %d", classData->getClassName(), static_cast<int>(error));
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
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
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
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
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

jmethodID LiveClassProfilingHelper::findNativeSleepMethod(jclass thread, const char **name)
{
    // Older VMs make Thread.sleep(long) itself native; newer ones write it in
    // Java over a private native that takes the same long.
    static const char *const NAMES[] = {"sleep", "sleepNanos0", "sleep0"};
    for (const char *candidate : NAMES) {
        jmethodID method = findMethod(thread, candidate, "(J)V");
        jboolean isNative = JNI_FALSE;
        if (method != nullptr && LiveProfiling::instance().jvmti->IsMethodNative(method, &isNative) == JVMTI_ERROR_NONE && isNative) {
            if (name != nullptr)
                *name = candidate;
            return method;
        }
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
    setClassAllocation(getJvmtiClassData(klass, env, true, true), env);
    session->exitMonitor(IM_CLASS, false);
}

void JNICALL LiveClassProfilingHelper::ovNativeMethodBind(jvmtiEnv *, JNIEnv *, jthread, jmethodID method, void *address,
                                                           void **newAddress)
{
    if (method == nullptr || address == reinterpret_cast<void *>(&sleepWrapper))
        return;
    jvmtiPhase phase = JVMTI_PHASE_LIVE;
    LiveProfiling::instance().jvmti->GetPhase(&phase);
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
    std::string className;
    if (LiveClassProfilingHelper::getSession() != nullptr && JavaNatives::utf(env, name, &className))
        LiveClassProfilingHelper::registerComponentType(className.c_str(), type);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_registerDisplayName(JNIEnv *env, jclass, jstring name, jstring display,
                                                                                 jint type)
{
    std::string className, displayName;
    if (LiveClassProfilingHelper::getSession() != nullptr && JavaNatives::utf(env, name, &className) &&
        JavaNatives::utf(env, display, &displayName))
        LiveClassProfilingHelper::registerDisplayName(className.c_str(), displayName.c_str(), type);
}

// Java side: com.orvane.agent.Agent.bindNatives0(), called by Agent.init on the
// thread that initialises the VM. Rebinding a platform native from a boot class
// keeps the VM from warning about it on the program's standard output.
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_Agent_bindNatives0(JNIEnv *env, jclass)
{
    if (LiveClassProfilingHelper::getSession() != nullptr)
        LiveClassProfilingHelper::bindSleepWrapper(env);
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
    const char *sleepName = nullptr;
    jmethodID sleep = findNativeSleepMethod(thread, &sleepName);
    if (sleep == nullptr) {
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
        JNINativeMethod wrapper = {const_cast<char *>(sleepName), const_cast<char *>("(J)V"), reinterpret_cast<void *>(&sleepWrapper)};
        if (env->RegisterNatives(thread, &wrapper, 1) != 0) {
            env->ExceptionClear();
            MessageUtil::message("could not wrap Thread.sleep");
        }
    }
    env->DeleteLocalRef(thread);
}

void LiveClassProfilingHelper::initInstrumentation(bool attach, bool replaceNativeMethods)
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr || liveClassProfilingSession == nullptr)
        return;
    session->enterMonitor(IM_CLASS);
    CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
    Instrumenter::initialize(liveClassProfilingSession, session, cpu != nullptr ? &cpu->getMethodHandles() : nullptr);
    Instrumenter::setReplaceNativeMethods(replaceNativeMethods);
    const AgentOptions &options = session->getOptions();
    AnnotationInstrumentation::Environment probeEnvironment;
    probeEnvironment.attached = attach;
    probeEnvironment.ibmVm = LiveProfiling::instance().isIbmVm();
    probeEnvironment.recordThreadNameChanges = options.recordThreadNameChanges;
    AnnotationInstrumentation::setEnvironment(probeEnvironment);
    ClassDecisions &decisions = liveClassProfilingSession->getDecisions();
    ClassDecisions::Switches &switches = decisions.getSwitches();
    switches.attach = attach;
    switches.sharing = attach && LiveProfiling::instance().getProperty("java.vm.info").find("sharing") != std::string::npos;
    switches.instrumentJre = options.instrumentJre;
    switches.jvmti11 = LiveProfiling::instance().isJvmti11();
    switches.replaceNativeMethods = replaceNativeMethods;
    switches.noArrayAllocs = options.noArrayAllocs;
    switches.arrayAllocations = session->isRecordingArrayAllocs();
    switches.hasJvmti = LiveProfiling::instance().jvmti != nullptr;
    switches.firstConfigUpdate = attach;
    switches.verboseInstrumentation = options.verboseInstrumentation;
    switches.saveInstrumentedClasses = options.saveInstrumentedClasses;
    switches.saveAllClasses = options.saveAllClasses;
    switches.offline = LiveProfiling::instance().isOffline();
    session->exitMonitor(IM_CLASS, false);
    // A configuration read from a file at start-up applies to the classes
    // that load from now on: its filters, and its trigger and exceptional
    // methods as probes.
    const SessionConfig *config = session->getConfig();
    if (!attach && config != nullptr && config->sessionRead)
        decisions.updateConfig(nullptr, config, nullptr, nullptr);
}

void LiveClassProfilingHelper::markEventsEnabled()
{
    if (liveClassProfilingSession != nullptr)
        liveClassProfilingSession->getDecisions().getSwitches().jvmtiEventsEnabled = true;
}

int LiveClassProfilingHelper::doInstrumentation(JNIEnv *env, const unsigned char *bytes, int length,
                                                unsigned char **newBytes, int *newLength, bool redefining,
                                                bool fromJava, bool instrumentFlag)
{
    *newBytes = nullptr;
    *newLength = 0;
    if (liveClassProfilingSession == nullptr)
        return 0;
    return liveClassProfilingSession->getDecisions().doInstrumentation(env, bytes, length, newBytes, newLength,
                                                                       redefining, fromJava, instrumentFlag);
}

int LiveClassProfilingHelper::instrumentClass(JNIEnv *env, const unsigned char *bytes, int length,
                                              unsigned char **newBytes, int *newLength)
{
    return doInstrumentation(env, bytes, length, newBytes, newLength, false, false, false);
}

void JNICALL LiveClassProfilingHelper::ovClassFileLoadHook(jvmtiEnv *jvmti, JNIEnv *env, jclass classBeingRedefined,
                                                           jobject, const char *, jobject, jint length,
                                                           const unsigned char *bytes, jint *newLength,
                                                           unsigned char **newBytes)
{
    if (liveClassProfilingSession == nullptr || LiveProfiling::instance().isShuttingDown())
        return;
    ProfilingSession *session = owner();
    unsigned char *result = nullptr;
    int resultLength = 0;
    session->enterMonitor(IM_CLASS);
    doInstrumentation(env, bytes, length, &result, &resultLength, classBeingRedefined != nullptr, false, false);
    session->exitMonitor(IM_CLASS, false);
    if (result == nullptr)
        return;
    unsigned char *vmBytes = nullptr;
    jvmtiError error = jvmti->Allocate(resultLength, &vmBytes);
    if (error != JVMTI_ERROR_NONE || vmBytes == nullptr) {
        MessageUtil::message("ERROR: could not allocate %d bytes for a rewritten class (%d); it stays unchanged.",
                             resultLength, static_cast<int>(error));
    } else {
        memcpy(vmBytes, result, static_cast<size_t>(resultLength));
        *newBytes = vmBytes;
        *newLength = resultLength;
    }
    delete[] result;
}

void LiveClassProfilingHelper::initAttach(JNIEnv *env)
{
    if (liveClassProfilingSession == nullptr || LiveProfiling::instance().jvmti == nullptr || env == nullptr)
        return;
    ClassDecisionsJvmti vm(&LiveProfiling::instance(), env);
    liveClassProfilingSession->getDecisions().initAttach(&vm);
}

void LiveClassProfilingHelper::initStart(JNIEnv *env)
{
    if (liveClassProfilingSession == nullptr || LiveProfiling::instance().jvmti == nullptr || env == nullptr)
        return;
    ClassDecisionsJvmti vm(&LiveProfiling::instance(), env);
    liveClassProfilingSession->getDecisions().initStart(&vm);
}

// Java side: com.orvane.agent.java.Transformer, the rewriting as a Java
// transformer sees it.
extern "C" JNIEXPORT jbyteArray JNICALL Java_com_orvane_agent_java_Transformer_transform0(
    JNIEnv *env, jclass, jstring, jobject classBeingRedefined, jbyteArray bytes, jboolean instrument, jintArray out)
{
    LiveClassProfilingSession *classSession = LiveClassProfilingHelper::getSession();
    if (classSession == nullptr)
        return nullptr;
    bool redefining = classBeingRedefined != nullptr;
    return JavaNatives::transformClass(env, bytes, out,
                                       [&](const unsigned char *elements, int length, unsigned char **result, int *resultLength) {
                                           SessionLock lock(classSession->getProfilingSession(), IM_CLASS);
                                           return LiveClassProfilingHelper::doInstrumentation(env, elements, length, result, resultLength,
                                                                                              redefining, true, instrument == JNI_TRUE);
                                       });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_orvane_agent_java_Transformer_isAutoTune(JNIEnv *, jclass)
{
    LiveClassProfilingSession *classSession = LiveClassProfilingHelper::getSession();
    if (classSession == nullptr)
        return JNI_FALSE;
    ProfilingSession *session = classSession->getProfilingSession();
    session->enterMonitor(IM_CLASS);
    bool autoTuneOn = classSession->getDecisions().getConfig()->autoTuneInstrumentation;
    session->exitMonitor(IM_CLASS, false);
    return autoTuneOn ? JNI_TRUE : JNI_FALSE;
}

void LiveClassProfilingHelper::setClassAllocation(ClassData *classData, JNIEnv *env)
{
    if (classData == nullptr || liveClassProfilingSession == nullptr || !owner()->isAllocRecording())
        return;
    // The caller holds the class lock: an existing thread manager only, none is made here.
    LiveThreadManager *thread = LiveCpuProfilingHelper::getCurrentThreadManager(env, false);
    if (thread != nullptr)
        classData->allocationNode = thread->getCurrentNode();
}

namespace {

const jint CLASS_STATUS_TO_REGISTER = JVMTI_CLASS_STATUS_VERIFIED | JVMTI_CLASS_STATUS_ARRAY | JVMTI_CLASS_STATUS_PRIMITIVE;

// Gives each untagged class object a new allocation id as its tag and collects the tags.
jvmtiIterationControl JNICALL tagClassObject(jlong, jlong, jlong *tag, void *userData)
{
    std::vector<jlong> *tags = static_cast<std::vector<jlong> *>(userData);
    LiveClassProfilingSession *session = LiveClassProfilingHelper::getSession();
    *tag = LiveHeapProfilingHelper::getNewAllocItemId(session != nullptr ? session->getJavaLangClassData() : nullptr);
    tags->push_back(*tag);
    return JVMTI_ITERATION_CONTINUE;
}

} // namespace

void LiveClassProfilingHelper::tagUntaggedClasses(ProfilingSession *session, JNIEnv *env)
{
    if (liveClassProfilingSession == nullptr || session == nullptr || env == nullptr)
        return;
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    // The recorder started from Java has no JVMTI: it tags no objects.
    if (jvmti == nullptr)
        return;
    if (LiveProfiling::instance().isIbmVm()) {
        // No heap iteration over class objects there: ask for the loaded classes.
        LocalFrame frame(env, 10000);
        jint count = 0;
        JvmtiBuffer<jclass> classes;
        if (jvmti->GetLoadedClasses(&count, classes.out()) != JVMTI_ERROR_NONE)
            return;
        for (jint i = 0; i < count; i++) {
            jlong tag = 0;
            if (jvmti->GetTag(classes.get()[i], &tag) == JVMTI_ERROR_NONE && tag == 0)
                getJvmtiClassData(classes.get()[i], env, false, true);
        }
        return;
    }
    LocalFrame frame(env, 512);
    session->enterMonitor(IM_CLASS);
    session->enterMonitor(IM_HEAP);
    std::vector<jlong> tags;
    jclass classClass = env->FindClass("java/lang/Class");
    if (classClass == nullptr) {
        env->ExceptionClear();
        MessageUtil::message("cannot find java/lang/Class");
    } else if (jvmti->IterateOverInstancesOfClass(classClass, JVMTI_HEAP_OBJECT_UNTAGGED, tagClassObject, &tags) !=
               JVMTI_ERROR_NONE) {
        MessageUtil::message("error iterating over heap");
    }
    session->exitMonitor(IM_HEAP, false);
    if (!tags.empty()) {
        jint found = 0;
        JvmtiBuffer<jobject> objects;
        if (jvmti->GetObjectsWithTags(static_cast<jint>(tags.size()), tags.data(), &found, objects.out(), nullptr) !=
            JVMTI_ERROR_NONE) {
            MessageUtil::message("error getting classes");
            found = 0;
        }
        for (jint i = 0; i < found; i++) {
            jclass klass = static_cast<jclass>(objects.get()[i]);
            jint status = 0;
            if (jvmti->GetClassStatus(klass, &status) != JVMTI_ERROR_NONE)
                MessageUtil::message("could not get class status");
            else if ((status & CLASS_STATUS_TO_REGISTER) != 0)
                getJvmtiClassData(klass, env, false, true);
            env->DeleteLocalRef(klass);
        }
    }
    session->exitMonitor(IM_CLASS, false);
}

namespace {

// Methods picked by auto-tuning, handed to the Java side by autoTune0.
ClassDecisionsAutoTune autoTune;

// Data locks of the session held for a scope.
class MonitorGuard {
public:
    MonitorGuard(ProfilingSession *session, int bits) : session(session), bits(bits) { session->enterMonitor(bits); }
    ~MonitorGuard() { session->exitMonitor(bits, false); }
    MonitorGuard(const MonitorGuard &) = delete;
    MonitorGuard &operator=(const MonitorGuard &) = delete;

private:
    ProfilingSession *session;
    int bits;
};

} // namespace

bool LiveClassProfilingHelper::autoTuneInstrumentation()
{
    LiveClassProfilingSession *classSession = LiveClassProfilingHelper::getSession();
    if (classSession == nullptr)
        return false;
    ProfilingSession *session = classSession->getProfilingSession();
    try {
        std::unique_ptr<SessionConfig> config;
        {
            MonitorGuard lock(session, IM_CLASS);
            const SessionConfig *current = classSession->getDecisions().getConfig();
            if (current == nullptr)
                return true;
            config.reset(new SessionConfig(*current));
        }
        autoTune.autoTuneInstrumentation(LiveCpuProfilingHelper::getSession(), classSession, session, *config, false);
    } catch (const std::bad_alloc &) {
        MessageUtil::message("ERROR: out of memory while auto-tuning the instrumentation.");
        return false;
    }
    return true;
}

void LiveClassProfilingHelper::writeNewAutoTuneMethods(DataWriter *writer)
{
    LiveClassProfilingSession *classSession = LiveClassProfilingHelper::getSession();
    if (classSession == nullptr) {
        writer->writeByte(0);
        return;
    }
    MonitorGuard lock(classSession->getProfilingSession(), IM_THREAD);
    autoTune.writeNewAutoTuneMethods(writer);
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_orvane_agent_java_Transformer_autoTune0(JNIEnv *env, jclass)
{
    LiveClassProfilingSession *classSession = LiveClassProfilingHelper::getSession();
    if (classSession == nullptr || !LiveClassProfilingHelper::autoTuneInstrumentation())
        return nullptr;
    ProfilingSession *session = classSession->getProfilingSession();
    std::vector<std::string> names;
    try {
        MonitorGuard lock(session, IM_CLASS | IM_THREAD | IM_DEAD_THREADS);
        names = autoTune.takePicked();
    } catch (const std::bad_alloc &) {
        MessageUtil::message("ERROR: out of memory while auto-tuning the instrumentation.");
        return nullptr;
    }
    return JavaNatives::stringArray(env, names);
}
