#include "ClassDecisions.h"

#include <functional>
#include <unordered_set>

#include "AnnotationInstrumentation.h"
#include "ClassData.h"
#include "ClassDecisionsPrivate.h"
#include "ClassDecisionsVm.h"
#include "ClassProfilingHelper.h"
#include "ClassProfilingSession.h"
#include "DataWriter.h"
#include "Instrumenter.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "bytecode/ByteCodeReader.h"

using namespace classdecisions;

namespace {

const size_t RETRANSFORM_BATCH = 100;
const long long MIN_FREE_CLASS_METADATA = 0x800000;
// Classes that the first update after attaching always retransforms.
const char *const ATTACH_BASE_CLASSES[] = {"java/lang/Object", "java/lang/Thread", LOCK_SUPPORT};

} // namespace

bool ClassDecisions::areRelevantOptionsDifferent(const SessionConfig *oldConfig, const SessionConfig *newConfig)
{
    if (oldConfig == nullptr)
        return true;
    return oldConfig->componentDetection != newConfig->componentDetection ||
           oldConfig->utilConcurrentHandling != newConfig->utilConcurrentHandling;
}

bool ClassDecisions::areAnnotationAndExceptionalMethodsIdentical(const SessionConfig *oldConfig,
                                                                 const SessionConfig *newConfig)
{
    if (oldConfig == nullptr)
        return false;
    if (oldConfig->probeMethods.size() != newConfig->probeMethods.size() ||
        oldConfig->exceptionalMethods.size() != newConfig->exceptionalMethods.size())
        return false;
    for (const AnnotationMethodAndClass &m : oldConfig->probeMethods)
        if (newConfig->probeMethods.count(m) == 0)
            return false;
    for (const AnnotationMethodAndClass &m : oldConfig->exceptionalMethods)
        if (newConfig->exceptionalMethods.count(m) == 0)
            return false;
    return true;
}

void ClassDecisions::saveFiltersAndIgnored(const SessionConfig *previousConfig)
{
    if (previousConfig == nullptr || (previousConfig->instrumentationType != 1 && previousConfig->instrumentationType != 2) ||
        previousConfig->disableCPUProfiling || !filtersInstalled)
        return;
    std::unique_ptr<PreviousSettings> saved(new PreviousSettings());
    saved->lineNumbers = previousConfig->lineNumbers;
    saved->componentDetection = previousConfig->componentDetection;
    saved->filters = currentFilters;
    saved->isInclusiveFilter = currentInclusive;
    saved->ignoredMethods = previousConfig->ignoredMethods;
    previous = std::move(saved);
    prevInstrSet = true;
}

namespace {

void writeSettings(DataWriter *writer, bool lineNumbers, bool componentDetection, bool inclusive,
                   const std::vector<std::string> &filters, const SessionConfig::MethodSet &ignored)
{
    writer->writeByte(1);
    writer->writeByte(lineNumbers ? 1 : 0);
    writer->writeByte(componentDetection ? 1 : 0);
    writer->writeByte(inclusive ? 1 : 0);
    writer->writeU4(static_cast<uint32_t>(filters.size()));
    for (const std::string &filter : filters)
        writer->writeString(filter.c_str());
    for (const AnnotationMethodAndClass &m : ignored) {
        writer->writeByte(1);
        writer->writeString(m.getClassName().c_str());
        writer->writeString(m.getMethodName().c_str());
        writer->writeString(m.getSignature().c_str());
    }
}

} // namespace

void ClassDecisions::writeLoadInfo(DataWriter *writer)
{
    if (config->sessionRead && session->getCallTreeCollectionMethod() == 1 && !config->disableCPUProfiling) {
        writeSettings(writer, config->lineNumbers, config->componentDetection, currentInclusive, currentFilters,
                      config->ignoredMethods);
    } else if (prevInstrSet) {
        writeSettings(writer, previous->lineNumbers, previous->componentDetection, previous->isInclusiveFilter,
                      previous->filters, previous->ignoredMethods);
    } else {
        writer->writeByte(0);
        return;
    }
    writer->writeByte(0);

    // The filtered-call sites: each called method with the classes calling it.
    std::vector<ClassData *> met;
    std::unordered_set<ClassData *> seen;
    auto meet = [&](ClassData *c) {
        if (seen.insert(c).second)
            met.push_back(c);
    };
    for (MethodDesc *m : Instrumenter::getMethodsWithCallingClasses()) {
        ClassData *declaring = m->getClassData();
        std::unordered_set<ClassData *> *callers = Instrumenter::getCallingClasses(m);
        if (declaring == nullptr || callers == nullptr || callers->empty() ||
            isHardFilteredClass(slashed(declaring->getClassName()).c_str()))
            continue;
        writer->writeByte(1);
        writer->writeString(m->getMethodName());
        writer->writeString(m->getMethodSignature());
        writer->writeID(declaring);
        meet(declaring);
        for (ClassData *caller : *callers) {
            writer->writeByte(1);
            writer->writeID(caller);
            meet(caller);
        }
        writer->writeByte(0);
    }
    writer->writeByte(0);
    writer->writeU4(static_cast<uint32_t>(met.size()));
    for (ClassData *c : met) {
        writer->writeID(c);
        writer->writeString(c->getClassName());
    }
}

bool ClassDecisions::filterAnswer(const char *dottedName, const std::vector<std::string> &filters, bool inclusive,
                                  bool componentDetection) const
{
    std::vector<const char *> pointers;
    for (const std::string &f : filters)
        pointers.push_back(f.c_str());
    return ClassProfilingHelper::isFilteredClassName(dottedName, pointers.data(), static_cast<int>(pointers.size()),
                                                     componentDetection ? '.' : '\0', inclusive, false);
}

bool ClassDecisions::isIgnored(const SessionConfig::MethodSet &ignored, const std::string &dottedClass,
                               const char *method, const char *signature) const
{
    if (ignored.empty())
        return false;
    return ignored.count(AnnotationMethodAndClass(dottedClass, "*", "*")) != 0 ||
           ignored.count(AnnotationMethodAndClass(dottedClass, method, signature)) != 0;
}

bool ClassDecisions::chooseByMethods(ClassDecisionsVm *vm, void *handle, const std::string &name,
                                     bool cpuInstrumentation)
{
    std::vector<ClassDecisionsVm::Method> methods;
    if (!vm->getMethods(handle, switches.retransformArrayAllocs, methods))
        return false;
    bool untouched = isUntouched(name);
    for (const ClassDecisionsVm::Method &m : methods) {
        if (switches.retransformArrayAllocs && !m.bytecodes.empty() &&
            Tessera::ByteCodeReader::hasArrayAllocations(reinterpret_cast<const char *>(m.bytecodes.data()),
                                                         static_cast<int>(m.bytecodes.size())))
            return true;
        if (AnnotationInstrumentation::isPossibleAnnotationClass(name.c_str(), m.name.c_str(), m.signature.c_str()))
            return true;
        if (untouched)
            continue;
        int nameLength = static_cast<int>(m.name.size());
        int sigLength = static_cast<int>(m.signature.size());
        bool jspService = ClassProfilingHelper::isMethodEqual("_jspService", JSP_SERVICE_SIGNATURE, ACC_PUBLIC,
                                                              m.name.c_str(), nameLength, m.signature.c_str(),
                                                              sigLength, m.access);
        if (!jspService && !ClassProfilingHelper::isComponentMarkerMethod(m.name.c_str(), nameLength,
                                                                          m.signature.c_str(), sigLength, m.access))
            continue;
        if (cpuInstrumentation)
            return true;
        addToPossiblyInstrumentedClasses(name.c_str());
    }
    return false;
}

bool ClassDecisions::retransformInBatches(ClassDecisionsVm *vm, const std::vector<void *> &chosen,
                                          const std::vector<std::string> &names, DataWriter *writer, int *done)
{
    *done = 0;
    for (size_t start = 0; start < chosen.size(); start += RETRANSFORM_BATCH) {
        // A VM that does not say how much class metadata is left (-1) is not
        // taken as full.
        long long available = vm->getAvailablePermGen();
        if (available >= 0 && available <= MIN_FREE_CLASS_METADATA) {
            MessageUtil::message("ERROR: not enough memory left for class metadata (%lld bytes); retransformation stops.",
                                 available);
            return false;
        }
        size_t end = std::min(chosen.size(), start + RETRANSFORM_BATCH);
        std::vector<void *> batch(chosen.begin() + static_cast<long>(start), chosen.begin() + static_cast<long>(end));
        int error = vm->retransform(batch);
        if (error == ClassDecisionsVm::ERROR_OUT_OF_MEMORY)
            return false;
        if (error != 0) {
            MessageUtil::message("ERROR: could not retransform all classes (%d). Trying separately.", error);
            for (size_t i = start; i < end; i++) {
                int one = vm->retransform(std::vector<void *>(1, chosen[i]));
                if (one == 0)
                    continue;
                MessageUtil::message("ERROR: could not retransform class %s (%d).", names[i].c_str(), one);
                if (one == ClassDecisionsVm::ERROR_OUT_OF_MEMORY)
                    return false;
            }
        }
        *done = static_cast<int>(end);
        if (writer != nullptr) {
            writer->writeByte(1);
            writer->writeU4(static_cast<uint32_t>(*done));
            writer->flush();
        }
    }
    return true;
}

void ClassDecisions::updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig, DataWriter *writer,
                                  ClassDecisionsVm *vm)
{
    // 1. Keep what the loaded classes were made with, then take the new settings.
    ClassLock lock(session);
    saveFiltersAndIgnored(oldConfig);
    installFilters(newConfig);
    setConfig(newConfig);
    Instrumenter::applyConfig(newConfig);
    bool identical = areAnnotationAndExceptionalMethodsIdentical(oldConfig, newConfig);
    bool firstAfterAttach = switches.attach && switches.firstConfigUpdate;

    // 2. Trigger and exceptional methods become probes.
    std::unordered_set<std::string> probeClasses;
    if (!identical || firstAfterAttach) {
        AnnotationInstrumentation::removeTriggerAndExceptionalMethods();
        for (const AnnotationMethodAndClass &m : newConfig->probeMethods) {
            std::string slash = slashed(m.getClassName());
            AnnotationInstrumentation::addAnnotationMethod(slash.c_str(), m.getMethodName().c_str(),
                                                           m.getSignature().c_str(), -7, 0, -2);
            probeClasses.insert(slash);
        }
        if (newConfig->timeType == 2 && !newConfig->exceptionalMethods.empty()) {
            MessageUtil::message("WARNING: Exceptional methods are only supported when recording elapsed times.");
        } else {
            for (const AnnotationMethodAndClass &m : newConfig->exceptionalMethods) {
                std::string slash = slashed(m.getClassName());
                AnnotationInstrumentation::addAnnotationMethod(slash.c_str(), m.getMethodName().c_str(),
                                                               m.getSignature().c_str(), -8, 2, -2);
                probeClasses.insert(slash);
            }
        }
    }

    bool completed = true;
    bool countWritten = false;
    // The first instrumenting configuration with instrument-jre also gives
    // the JDK classes loaded before the agent's hook their hooks.
    bool loadedJre = vm != nullptr && switches.jvmti11 && wantsLoadedJreClasses(newConfig);
    if (loadedJre)
        loadedJreClassesRetransformed = true;
    bool mayRetransform = vm != nullptr && switches.jvmti11 &&
                          (oldConfig != nullptr || (switches.offline && switches.attach) || loadedJre);
    if (mayRetransform) {
        // 3. The classes whose filtered or ignored state changes.
        bool cpuInstrumentation =
            (newConfig->instrumentationType == 1 || newConfig->instrumentationType == 2) && !newConfig->disableCPUProfiling;
        std::unordered_set<std::string> changeSet;
        bool allClasses = false;
        if (cpuInstrumentation && prevInstrSet) {
            for (MethodDesc *m : classes->getMethods()) {
                ClassData *declaring = m->getClassData();
                if (declaring == nullptr || declaring->isPseudoClass())
                    continue;
                std::string dottedClass = declaring->getClassName();
                std::string slash = slashed(dottedClass);
                if (isHardFilteredClass(slash.c_str()))
                    continue;
                bool wasFiltered = filterAnswer(dottedClass.c_str(), previous->filters, previous->isInclusiveFilter,
                                                previous->componentDetection);
                bool isFiltered = filterAnswer(dottedClass.c_str(), currentFilters, currentInclusive,
                                               newConfig->componentDetection);
                bool wasIgnored = isIgnored(previous->ignoredMethods, dottedClass, m->getMethodName(),
                                            m->getMethodSignature());
                bool nowIgnored = isIgnored(newConfig->ignoredMethods, dottedClass, m->getMethodName(),
                                            m->getMethodSignature());
                if (wasFiltered == isFiltered && wasIgnored == nowIgnored)
                    continue;
                changeSet.insert(slash);
                std::unordered_set<ClassData *> *callers = Instrumenter::getCallingClasses(m);
                if (callers != nullptr) {
                    for (ClassData *caller : *callers)
                        changeSet.insert(slashed(caller->getClassName()));
                    callers->clear();
                }
            }
        }
        if (cpuInstrumentation && (!prevInstrSet || newConfig->lineNumbers != previous->lineNumbers))
            allClasses = true;
        if (loadedJre)
            allClasses = true;

        // 4. Tell the Java side (without the class lock: Java code may load
        // classes, whose hooks take it on other threads); decide whether
        // anything must change.
        lock.release();
        vm->configurationChanged();
        lock.take();
        bool relevant = areRelevantOptionsDifferent(oldConfig, newConfig);
        if (!changeSet.empty() || allClasses || relevant || !identical || firstAfterAttach) {
            // 5. Choose among the loaded classes.
            MessageUtil::message("Updating configuration.");
            switches.retransformArrayAllocs =
                !switches.arrayAllocations && !switches.noArrayAllocs && newConfig->recordArrayAlloc;
            std::vector<ClassDecisionsVm::LoadedClass> loaded;
            std::vector<void *> chosen;
            std::vector<std::string> chosenNames;
            std::vector<int> chosenStatus;
            if (!vm->getLoadedClasses(loaded)) {
                completed = false;
            } else {
                for (const ClassDecisionsVm::LoadedClass &c : loaded) {
                    if (firstAfterAttach && (c.status & ClassDecisionsVm::STATUS_PREPARED) != 0 &&
                        (c.status & ClassDecisionsVm::STATUS_ERROR) == 0)
                        vm->addLoadInformation(c.handle);
                    if (!c.modifiable || c.isArray || c.slashName.empty())
                        continue;
                    const std::string &name = c.slashName;
                    bool tracked = changeSet.count(name) != 0 ||
                                   (allClasses && !isHardFilteredClass(name.c_str()) &&
                                    !classes->isFilteredClassNameSlash(name.c_str(), newConfig->componentDetection));
                    bool choose = tracked || (cpuInstrumentation && isInPossiblyInstrumentedClasses(name)) ||
                                  ((relevant || !identical) &&
                                   (probeClasses.count(name) != 0 || isInAnnoAndOptionalClasses(name)));
                    if (!choose && firstAfterAttach && !startsWith(name, AGENT_PREFIX)) {
                        int count = 0;
                        std::vector<unsigned char> pool;
                        choose = vm->getConstantPool(c.handle, &count, pool) &&
                                 Instrumenter::hasSleepNameAndTypeEntry(count, static_cast<int>(pool.size()),
                                                                        pool.data());
                    }
                    if (!choose)
                        choose = chooseByMethods(vm, c.handle, name, cpuInstrumentation);
                    if (choose) {
                        chosen.push_back(c.handle);
                        chosenNames.push_back(name);
                        chosenStatus.push_back(c.status);
                    }
                }
                // 6. The name sets have served.
                if (cpuInstrumentation)
                    possiblySpecialInstrumentedClasses.clear();
                if (relevant || !identical)
                    annoAndOptionalClasses.clear();
                if (writer != nullptr) {
                    writer->writeU4(static_cast<uint32_t>(chosen.size()));
                    writer->flush();
                    countWritten = true;
                }
                // Retransformation runs the class hooks, and the Java calls
                // below may load classes: both need the lock free.
                lock.release();
                // 7. Retransform in batches.
                MessageUtil::message("Retransforming %d class files.", static_cast<int>(chosen.size()));
                int done = 0;
                completed = retransformInBatches(vm, chosen, chosenNames, writer, &done);
                // 8. After attaching, the Java side learns the components.
                if (firstAfterAttach) {
                    for (const ClassDecisionsVm::LoadedClass &c : loaded) {
                        if ((c.status & ClassDecisionsVm::STATUS_PREPARED) == 0 ||
                            (c.status & ClassDecisionsVm::STATUS_ERROR) != 0 || c.slashName.empty())
                            continue;
                        int type = vm->checkAnnotatedComponent(c.handle, dotted(c.slashName));
                        if (type > 0) {
                            lock.take();
                            Instrumenter::registerComponentType(dotted(c.slashName).c_str(), type);
                            lock.release();
                        }
                    }
                    for (size_t i = 0; i < chosen.size(); i++) {
                        if ((chosenStatus[i] & ClassDecisionsVm::STATUS_PREPARED) != 0 &&
                            (chosenStatus[i] & ClassDecisionsVm::STATUS_ERROR) == 0)
                            vm->registerClass(chosen[i]);
                    }
                }
                vm->endLoadedClasses();
            }
            // 9. Array allocations are instrumented from now on when asked for.
            lock.take();
            if (!switches.arrayAllocations)
                switches.arrayAllocations = switches.retransformArrayAllocs;
            MessageUtil::message("Configuration updated.");
        }
    }

    // 10. The end of the reply.
    if (writer != nullptr) {
        if (!countWritten)
            writer->writeU4(0);
        writer->writeByte(0);
        writer->writeByte(completed ? 1 : 0);
    }
    switches.firstConfigUpdate = false;
    switches.retransformArrayAllocs = false;
}

void ClassDecisions::initAttach(ClassDecisionsVm *vm)
{
    if (!switches.jvmti11)
        return;
    retransformBaseClasses(vm, true, [this, vm](void *handle, const std::string &name) {
        return chooseForAttach(vm, handle, name);
    });
}

void ClassDecisions::initStart(ClassDecisionsVm *vm)
{
    if (!switches.jvmti11)
        return;
    // A configuration read at start-up with instrument-jre: the JDK classes
    // the VM loaded before the agent's hook get their hooks now.
    bool loadedJre = wantsLoadedJreClasses(config.get());
    if (loadedJre)
        loadedJreClassesRetransformed = true;
    retransformBaseClasses(vm, false, [this, loadedJre](void *, const std::string &name) {
        if (seenBaseClasses.count(name) == 0 && isBaseClass(name))
            return true;
        return loadedJre && !startsWith(name, AGENT_PREFIX) && !isHardFilteredClass(name.c_str()) &&
               !classes->isFilteredClassNameSlash(name.c_str(), config->componentDetection);
    });
}

bool ClassDecisions::wantsLoadedJreClasses(const SessionConfig *c) const
{
    return switches.instrumentJre && !loadedJreClassesRetransformed && c != nullptr &&
           (c->instrumentationType == 1 || c->instrumentationType == 2) && !c->disableCPUProfiling;
}

bool ClassDecisions::isBaseClass(const std::string &name) const
{
    if (switches.jvmti11 ? name == LOCK_SUPPORT : startsWith(name, ABSTRACT_QUEUED_PREFIX))
        return true;
    return (name == "java/io/ObjectStreamClass" && switches.replaceNativeMethods) ||
           ClassProfilingHelper::isComponentClass(name.c_str()) || Instrumenter::isNetIoClass(name.c_str());
}

void ClassDecisions::retransformBaseClasses(ClassDecisionsVm *vm, bool report,
                                            const std::function<bool(void *, const std::string &)> &choose)
{
    std::vector<ClassDecisionsVm::LoadedClass> loaded;
    if (!vm->getLoadedClasses(loaded))
        return;
    std::vector<void *> chosen;
    std::vector<std::string> names;
    for (const ClassDecisionsVm::LoadedClass &c : loaded) {
        if (!c.modifiable || c.isArray || c.slashName.empty())
            continue;
        if (choose(c.handle, c.slashName)) {
            chosen.push_back(c.handle);
            names.push_back(c.slashName);
        }
    }
    if (report)
        MessageUtil::message("Retransforming %d base class files.", static_cast<int>(chosen.size()));
    if (!chosen.empty()) {
        int error = vm->retransform(chosen);
        if (error != 0) {
            MessageUtil::message("ERROR: could not retransform all classes (%d). Trying separately.", error);
            for (size_t i = 0; i < chosen.size(); i++) {
                int one = vm->retransform(std::vector<void *>(1, chosen[i]));
                if (one != 0)
                    MessageUtil::message("ERROR: could not retransform class %s (%d).", names[i].c_str(), one);
            }
        }
    }
    vm->endLoadedClasses();
    if (report)
        MessageUtil::message("Base classes instrumented.");
}

bool ClassDecisions::chooseForAttach(ClassDecisionsVm *vm, void *handle, const std::string &name)
{
    if (switches.attach && switches.firstConfigUpdate) {
        for (const char *base : ATTACH_BASE_CLASSES)
            if (name == base)
                return true;
        if (startsWith(name, ABSTRACT_QUEUED_PREFIX) ||
            (name == "java/io/ObjectStreamClass" && switches.replaceNativeMethods) ||
            ClassProfilingHelper::isComponentClass(name.c_str()) || Instrumenter::isNetIoClass(name.c_str()))
            return true;
    }
    if (switches.cobalt) {
        if (startsWith(name, AGENT_PREFIX))
            return false;
        int count = 0;
        std::vector<unsigned char> pool;
        return vm->getConstantPool(handle, &count, pool) &&
               Instrumenter::hasSleepNameAndTypeEntry(count, static_cast<int>(pool.size()), pool.data());
    }
    if (startsWith(name, "java") || startsWith(name, "sun/misc"))
        return false;
    std::vector<ClassDecisionsVm::Method> methods;
    if (!vm->getMethods(handle, false, methods))
        return false;
    for (const ClassDecisionsVm::Method &m : methods) {
        if (m.name == "loadClass" && (m.signature == LOAD_CLASS_SIGNATURE || m.signature == LOAD_CLASS_RESOLVE_SIGNATURE))
            return true;
    }
    return false;
}
