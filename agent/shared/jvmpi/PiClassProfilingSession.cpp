#include "PiClassProfilingSession.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "AgentOptions.h"
#include "AnnotationInstrumentation.h"
#include "ClassData.h"
#include "ClassModifications.h"
#include "ClassProfilingHelper.h"
#include "CpuProfilingSession.h"
#include "Instrumenter.h"
#include "InternalMonitor.h"
#include "PiProfiling.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "SessionConfig.h"
#include "SessionLock.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"

namespace {

const char *const DEFAULT_PACKAGE = "[default package]";

} // namespace

PiClassProfilingSession::PiClassProfilingSession(ProfilingSession *session)
    : ClassProfilingSession(session), cumulationClassData(new ClassData("_orvane_cumul_class", ClassData::COMPONENT_CUMULATION)),
      decisions(this, session)
{
    ClassProfilingSession::addClassData(cumulationClassData);
}

void PiClassProfilingSession::addClassData(ClassData *classData)
{
    if (classData == nullptr)
        return;
    ClassProfilingSession::addClassData(classData);
    if (classData->getComponentType() > ClassData::COMPONENT_PSEUDO_LIMIT)
        return;
    const char *name = classData->getClassName();
    MethodDesc *classMethod = new MethodDesc(cumulationClassData, name, -1, "()V", -1, this, name);
    addMethodDesc(classMethod);
    classData->classMethodDesc = classMethod;
    classData->packageMethodDesc = getPackageMethodDesc(classData);
}

MethodDesc *PiClassProfilingSession::getPackageMethodDesc(ClassData *classData)
{
    std::string name = classData->getClassName();
    size_t dot = name.rfind('.');
    std::string package = dot == std::string::npos ? DEFAULT_PACKAGE : name.substr(0, dot);
    SessionLock lock(profilingSession, IM_CLASS);
    MethodDesc *&slot = packageNameToMethodDesc[package];
    if (slot == nullptr) {
        slot = new MethodDesc(cumulationClassData, package.c_str(), -1, "()V", -1, this, package.c_str());
        addMethodDesc(slot);
    }
    return slot;
}

PiClassProfilingSession::~PiClassProfilingSession() = default;

ClassData *PiClassProfilingSession::getLoadedClassData(const char *name)
{
    std::string dotted;
    for (const char *p = name; *p != '\0'; p++)
        dotted.push_back(*p == '/' ? '.' : *p);
    auto found = classNameToClassData.find(dotted);
    if (found != classNameToClassData.end())
        return found->second;
    // One record per class and method, whether the rewriting or the VM's
    // class load met them first.
    ClassData *classData = instrumentationReady ? Instrumenter::getClassData(dotted.c_str()) : nullptr;
    if (classData == nullptr) {
        classData = new ClassData(dotted.c_str(), this);
        addClassData(classData);
    }
    classNameToClassData.emplace(dotted, classData);
    if (isFilteredClassName(dotted.c_str(), true))
        numFilteredClasses++;
    else
        numUnfilteredClasses++;
    return classData;
}

void PiClassProfilingSession::addClassLoadInformation(ClassData *classData, JVMPI_Event *event)
{
    std::vector<void *> ids;
    for (jint i = 0; i < event->u.class_load.num_methods && event->u.class_load.methods != nullptr; i++)
        ids.push_back(event->u.class_load.methods[i].method_id);
    classData->setMethodIds(ids);
    classData->numInterfaces = event->u.class_load.num_interfaces;
    if (classData->hasFieldInformation())
        return;
    for (jint i = 0; i < event->u.class_load.num_static_fields && event->u.class_load.statics != nullptr; i++) {
        const JVMPI_Field &field = event->u.class_load.statics[i];
        if (field.field_name != nullptr && field.field_signature != nullptr)
            classData->addField(true, field.field_name, field.field_signature, i, nullptr);
    }
    for (jint i = 0; i < event->u.class_load.num_instance_fields && event->u.class_load.instances != nullptr; i++) {
        const JVMPI_Field &field = event->u.class_load.instances[i];
        if (field.field_name != nullptr && field.field_signature != nullptr)
            classData->addField(false, field.field_name, field.field_signature, i, nullptr);
    }
    classData->calculateReferenceMappings();
}

void PiClassProfilingSession::handleClassLoad(JVMPI_Event *event, bool requested)
{
    if (event->u.class_load.class_name == nullptr) {
        MessageUtil::debugOut("class load without a name ignored\n");
        return;
    }
    SessionLock lock(profilingSession, IM_CLASS);
    void *classId = event->u.class_load.class_id;
    ClassData *classData = nullptr;
    if (requested) {
        auto known = classIdToClassData.find(classId);
        if (known != classIdToClassData.end())
            classData = known->second;
    }
    if (classData == nullptr) {
        classData = getLoadedClassData(event->u.class_load.class_name);
        addClassLoadInformation(classData, event);
        if (classId != nullptr)
            classIdToClassData[classId] = classData;
        if (!requested)
            return;
    }
    const char *className = classData->getClassName();
    for (jint i = 0; i < event->u.class_load.num_methods && event->u.class_load.methods != nullptr; i++) {
        const JVMPI_Method &method = event->u.class_load.methods[i];
        if (method.method_name == nullptr || method.method_signature == nullptr || method.method_id == nullptr)
            continue;
        auto known = methodIdToMethodDesc.find(method.method_id);
        if (known != methodIdToMethodDesc.end() && known->second != nullptr)
            continue;
        MethodDesc *methodDesc = instrumentationReady ? Instrumenter::getMethodDesc(className, method.method_name, method.method_signature)
                                                      : nullptr;
        if (methodDesc == nullptr) {
            methodDesc = new MethodDesc(classData, method.method_name, -1, method.method_signature, -1, this, className);
            addMethodDesc(methodDesc);
        }
        methodDesc->setMethodId(method.method_id);
        methodIdToMethodDesc[method.method_id] = methodDesc;
    }
}

void PiClassProfilingSession::handleClassUnload(JVMPI_Event *event)
{
    SessionLock lock(profilingSession, IM_CLASS);
    auto found = classIdToClassData.find(event->u.class_unload.class_id);
    if (found == classIdToClassData.end() || found->second == nullptr)
        return;
    ClassData *classData = found->second;
    found->second = nullptr;
    classData->setIsUnloaded();
    if (isFilteredClassName(classData->getClassName(), true))
        numFilteredClasses--;
    else
        numUnfilteredClasses--;
    // The method records stay (call trees point to them); their ids may
    // come back for another class.
    if (profilingSession->getCallTreeCollectionMethod() != 1) {
        for (void *id : classData->getMethodIds()) {
            auto method = methodIdToMethodDesc.find(id);
            if (method != methodIdToMethodDesc.end())
                method->second = nullptr;
        }
    }
}

void PiClassProfilingSession::handleObjectMove(JVMPI_Event *event)
{
    SessionLock lock(profilingSession, IM_CLASS);
    auto found = classIdToClassData.find(event->u.obj_move.obj_id);
    if (found == classIdToClassData.end())
        return;
    ClassData *classData = found->second;
    classIdToClassData.erase(found);
    classIdToClassData[event->u.obj_move.new_obj_id] = classData;
}

ClassData *PiClassProfilingSession::getClassData(jobjectID classId)
{
    if (classId == nullptr)
        return nullptr;
    SessionLock lock(profilingSession, IM_CLASS);
    auto found = classIdToClassData.find(classId);
    return found != classIdToClassData.end() ? found->second : nullptr;
}

ClassData *PiClassProfilingSession::getArrayClassData(ClassData *elementClass)
{
    std::string name = std::string("[L") + (elementClass != nullptr ? elementClass->getClassName() : "java.lang.Object") + ";";
    SessionLock lock(profilingSession, IM_CLASS);
    return getLoadedClassData(name.c_str());
}

ClassData *PiClassProfilingSession::registerClassName(const char *dottedName)
{
    SessionLock lock(profilingSession, IM_CLASS);
    return getLoadedClassData(dottedName);
}

MethodDesc *PiClassProfilingSession::getMethodDesc(jmethodID methodId, JNIEnv *env)
{
    if (methodId == nullptr)
        return nullptr;
    {
        SessionLock lock(profilingSession, IM_CLASS);
        auto found = methodIdToMethodDesc.find(methodId);
        if (found != methodIdToMethodDesc.end() && found->second != nullptr)
            return found->second;
    }
    JVMPI_Interface *vm = PiProfiling::g_profilingInterface;
    if (env == nullptr || vm == nullptr)
        return nullptr;
    // The VM delivers the requested class load at once, on this thread.
    vm->DisableGC();
    jobjectID classId = vm->GetMethodClass(methodId);
    vm->EnableGC();
    if (classId == nullptr) {
        MessageUtil::debugOut("no class for method id %p\n", static_cast<void *>(methodId));
        return nullptr;
    }
    vm->RequestEvent(JVMPI_EVENT_CLASS_LOAD, classId);
    SessionLock lock(profilingSession, IM_CLASS);
    auto found = methodIdToMethodDesc.find(methodId);
    return found != methodIdToMethodDesc.end() ? found->second : nullptr;
}

void PiClassProfilingSession::handleClassLoadHook(JVMPI_Event *event)
{
    event->u.class_load_hook.new_class_data = event->u.class_load_hook.class_data;
    event->u.class_load_hook.new_class_data_len = event->u.class_load_hook.class_data_len;
    unsigned char *newBytes = nullptr;
    int newLength = 0;
    bool changed;
    {
        SessionLock lock(profilingSession, IM_CLASS);
        changed = doInstrumentation(event->u.class_load_hook.class_data, event->u.class_load_hook.class_data_len, &newBytes, &newLength);
    }
    if (!changed || newBytes == nullptr)
        return;
    void *copy = event->u.class_load_hook.malloc_f != nullptr ? event->u.class_load_hook.malloc_f(static_cast<unsigned>(newLength)) : nullptr;
    if (copy == nullptr) {
        MessageUtil::message("ERROR: no memory for the rewritten class; it stays unchanged");
    } else {
        memcpy(copy, newBytes, static_cast<size_t>(newLength));
        event->u.class_load_hook.new_class_data = static_cast<unsigned char *>(copy);
        event->u.class_load_hook.new_class_data_len = newLength;
    }
    delete[] newBytes;
}

void PiClassProfilingSession::initInstrumentation(CpuProfilingSession *cpu, const AgentOptions &options)
{
    SessionLock lock(profilingSession, IM_CLASS);
    Instrumenter::initialize(this, profilingSession, cpu != nullptr ? &cpu->getMethodHandles() : nullptr);
    instrumentationReady = true;
    // There is no native-method prefix here: native methods stay as they are.
    Instrumenter::setReplaceNativeMethods(false);
    AnnotationInstrumentation::Environment probes;
    probes.recordThreadNameChanges = options.recordThreadNameChanges;
    probes.profilerInterface = true;
    AnnotationInstrumentation::setEnvironment(probes);
    ClassDecisions::Switches &switches = decisions.getSwitches();
    switches.instrumentJre = options.instrumentJre;
    switches.replaceNativeMethods = false;
    switches.allocationHooks = false;
    switches.arrayAllocations = false;
    switches.retransformArrayAllocs = false;
    switches.noArrayAllocs = true;
    // The main class is found as in the tool-interface build.
    switches.hasJvmti = true;
    switches.verboseInstrumentation = options.verboseInstrumentation;
    switches.saveInstrumentedClasses = options.saveInstrumentedClasses;
    switches.saveAllClasses = options.saveAllClasses;
}

void PiClassProfilingSession::updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig)
{
    if (newConfig == nullptr)
        return;
    decisions.updateConfig(oldConfig, newConfig, nullptr, nullptr);
    SessionLock lock(profilingSession, IM_CLASS);
    AnnotationInstrumentation::applyConfig(newConfig);
    decisions.getSwitches().retransformArrayAllocs = false;
}

bool PiClassProfilingSession::isHardFiltered(const char *dottedName)
{
    std::string slash(dottedName);
    for (char &c : slash)
        if (c == '.')
            c = '/';
    return decisions.isHardFilteredClass(slash.c_str());
}

void PiClassProfilingSession::registerComponentType(const char *className, int type)
{
    SessionLock lock(profilingSession, IM_CLASS);
    auto found = classNameToClassData.find(className);
    if (found != classNameToClassData.end())
        found->second->setComponentType(type);
    Instrumenter::registerComponentType(className, type);
}

void PiClassProfilingSession::registerDisplayName(const char *className, const char *displayName, int type)
{
    SessionLock lock(profilingSession, IM_CLASS);
    auto found = classNameToClassData.find(className);
    if (found == classNameToClassData.end() || found->second->getDisplayName() != nullptr)
        return;
    ClassData *classData = found->second;
    classData->setDisplayName(displayName);
    classData->setComponentType(type);
    Instrumenter::registerComponentType(className, type);
    Instrumenter::registerDisplayName(className, displayName);
    auto shown = classNameToClassData.find(displayName);
    if (shown != classNameToClassData.end())
        classData->displayClassMethodDesc = shown->second->classMethodDesc;
}

int PiClassProfilingSession::rewriteForJava(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength,
                                              bool redefining, bool instrument)
{
    // Java code never names the main class: its changes come from the class load only.
    return decisions.doInstrumentation(nullptr, bytes, length, newBytes, newLength, redefining, true, instrument);
}

bool PiClassProfilingSession::isAutoTune()
{
    SessionLock lock(profilingSession, IM_CLASS);
    const SessionConfig *config = decisions.getConfig();
    return config != nullptr && config->autoTuneInstrumentation;
}

void PiClassProfilingSession::writeNewAutoTuneMethods(DataWriter *writer)
{
    SessionLock lock(profilingSession, IM_THREAD);
    autoTuning.writeNewAutoTuneMethods(writer);
}

std::vector<std::string> PiClassProfilingSession::autoTune(CpuProfilingSession *cpu, bool recorderRecording)
{
    std::unique_ptr<SessionConfig> config;
    {
        SessionLock lock(profilingSession, IM_CLASS);
        const SessionConfig *current = decisions.getConfig();
        if (current == nullptr || cpu == nullptr)
            return std::vector<std::string>();
        config.reset(new SessionConfig(*current));
    }
    autoTuning.autoTuneInstrumentation(cpu, this, profilingSession, *config, recorderRecording);
    SessionLock lock(profilingSession, IM_CLASS | IM_THREAD | IM_DEAD_THREADS);
    return autoTuning.takePicked();
}

std::string PiClassProfilingSession::getMainClassName() const
{
    std::string dotted = decisions.getMainClassName();
    for (char &c : dotted)
        if (c == '/')
            c = '.';
    return dotted;
}

namespace {

// Frees a class model when the rewriting is done.
class ClassFileHolder {
public:
    explicit ClassFileHolder(Tessera::ClassFile *classFile) : classFile(classFile) {}
    ~ClassFileHolder()
    {
        if (classFile != nullptr)
            classFile->freeInstance();
    }
    ClassFileHolder(const ClassFileHolder &) = delete;
    ClassFileHolder &operator=(const ClassFileHolder &) = delete;
    Tessera::ClassFile *get() const { return classFile; }

private:
    Tessera::ClassFile *classFile;
};

} // namespace

bool PiClassProfilingSession::doInstrumentation(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength)
{
    *newBytes = nullptr;
    *newLength = 0;
    // The class decisions name the main class when it loads: the class that
    // makes the name known is the one that gets the main class's changes.
    bool mainKnown = !decisions.getMainClassName().empty();
    decisions.doInstrumentation(nullptr, bytes, length, newBytes, newLength, false, false, false);
    if (mainKnown || decisions.getMainClassName().empty())
        return *newBytes != nullptr;
    unsigned char *mainBytes = nullptr;
    int mainLength = 0;
    if (modifyMainClass(*newBytes != nullptr ? *newBytes : bytes, *newBytes != nullptr ? *newLength : length, &mainBytes, &mainLength)) {
        delete[] *newBytes;
        *newBytes = mainBytes;
        *newLength = mainLength;
    }
    return *newBytes != nullptr;
}

bool PiClassProfilingSession::modifyMainClass(const unsigned char *bytes, int length, unsigned char **newBytes, int *newLength)
{
    ClassFileHolder holder(Tessera::ClassFileReader::readFromByteArray(bytes, length, nullptr, true, true, nullptr));
    Tessera::ClassFile *classFile = holder.get();
    if (classFile == nullptr || classFile->hasError()) {
        MessageUtil::message("ERROR: class could not be read");
        return false;
    }
    std::string dottedName = getMainClassName();
    if (!ClassDecisions::hasMainMethod(classFile, decisions.getMainClassName().c_str()))
        return false;
    decisions.verboseOut("MAIN: %s", dottedName.c_str());
    if (!ClassModifications::mainClassModifications(dottedName.c_str(), classFile))
        return false;
    int executeMain = Tessera::ConstantPoolUtil::addConstantMethodrefInfo(classFile, "com/orvane/agent/Agent", "executeMain",
                                                                          "(Ljava/lang/Class;[Ljava/lang/String;)Z");
    if (!ClassModifications::modifyMainClassMain(classFile, executeMain))
        return false;
    char *written = nullptr;
    int writtenLength = Tessera::ClassFileWriter::writeToByteArray(&written, classFile);
    if (written == nullptr || writtenLength <= 0) {
        MessageUtil::message("ERROR: class %s could not be written; it stays unchanged.", dottedName.c_str());
        delete[] written;
        return false;
    }
    *newBytes = reinterpret_cast<unsigned char *>(written);
    *newLength = writtenLength;
    return true;
}
