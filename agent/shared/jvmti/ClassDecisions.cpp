#include "ClassDecisions.h"
#include "ClassDecisionsPrivate.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

#include "AnnotationInstrumentation.h"
#include "ClassData.h"
#include "ClassDecisionsVm.h"
#include "ClassModifications.h"
#include "ClassProfilingHelper.h"
#include "ClassProfilingSession.h"
#include "DataWriter.h"
#include "Instrumenter.h"
#include "InternalMonitor.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"
#include "bytecode/ByteCodeReader.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/CPInfo.h"
#include "structures/ClassFile.h"
#include "structures/ConstantUtf8Info.h"
#include "structures/MethodInfo.h"

using Tessera::ClassFile;
using Tessera::MethodInfo;
using namespace classdecisions;

namespace {

// A class with more constant-pool slots than this cannot take the hooks'
// entries without passing the format's limit.
const int MAX_CONSTANT_POOL_ENTRIES = 65450;
const int VERBOSE_BUFFER_SIZE = 8192;

bool equalText(const char *text, const char *candidate, int length)
{
    return static_cast<int>(strlen(text)) == length && memcmp(text, candidate, static_cast<size_t>(length)) == 0;
}

bool isMethod(MethodInfo *m, const char *name, const char *signature, int access)
{
    return ClassProfilingHelper::isMethodEqual(name, signature, access, m->getName(), m->getNameLength(),
                                               m->getSignature(), m->getSignatureLength(), m->getAccessFlags());
}

// The simple name of a class (after its package).
std::string simpleName(const std::string &slashName)
{
    size_t slash = slashName.rfind('/');
    return slash == std::string::npos ? slashName : slashName.substr(slash + 1);
}

// A parsed class that goes back to its pool when the scope ends.
class ClassFileHolder {
public:
    explicit ClassFileHolder(ClassFile *classFile) : classFile(classFile) {}
    ~ClassFileHolder()
    {
        if (classFile != nullptr)
            classFile->freeInstance();
    }
    ClassFileHolder(const ClassFileHolder &) = delete;
    ClassFileHolder &operator=(const ClassFileHolder &) = delete;
    ClassFile *get() const { return classFile; }

private:
    ClassFile *classFile;
};

// The class being rewritten: its bytes, its model and whether the body has
// been read (which decides whether it is written back).
struct ClassInProgress {
    const unsigned char *bytes;
    int length;
    int headLength;
    ClassFile *classFile;
    bool bodyRead;
    bool bodyFailed;

    // Reads the rest of the class into the same model, once. False when the
    // body cannot be read: the class must then stay as it is.
    bool readBody()
    {
        if (bodyFailed)
            return false;
        if (bodyRead)
            return true;
        Tessera::ClassFileReader::readFromByteArray(bytes + headLength, length - headLength, nullptr, false, true,
                                                    classFile);
        if (classFile->hasError()) {
            bodyFailed = true;
            return false;
        }
        bodyRead = true;
        return true;
    }
};

} // namespace

ClassDecisions::ClassDecisions(ClassProfilingSession *classes, ProfilingSession *session)
    : classes(classes), session(session), config(new SessionConfig()), filtersInstalled(false),
      currentInclusive(false), prevInstrSet(false)
{
}

ClassDecisions::~ClassDecisions() = default;

void ClassDecisions::setConfig(const SessionConfig *newConfig)
{
    config.reset(newConfig != nullptr ? new SessionConfig(*newConfig) : new SessionConfig());
}

void ClassDecisions::installFilters(const SessionConfig *newConfig)
{
    const FilterConfig &filterConfig = newConfig->getFilterConfig();
    currentFilters = filterConfig.getFilters();
    currentInclusive = filterConfig.isFilterInclusive();
    filtersInstalled = true;
    classes->setFilters(currentFilters, currentInclusive);
}

bool ClassDecisions::isHardFilteredClass(const char *slashName) const
{
    return ClassProfilingHelper::isHardFilteredClass(slashName, switches.attach, switches.sharing,
                                                     switches.instrumentJre);
}

bool ClassDecisions::checkForSpecialMethods(const char *slashName, ClassFile *classFile, SpecialMethods *found)
{
    std::string name(slashName);
    if (ClassProfilingHelper::isSpecialMainClass(slashName)) {
        found->hasMain = true;
        return true;
    }
    if (isUntouched(name))
        return false;
    found->hasComponentMarker = false;
    found->hasMain = false;
    bool mayLoadClasses = !startsWith(name, "java") && !startsWith(name, "sun/misc");
    for (MethodInfo *m : classFile->getMethods()) {
        if (m == nullptr)
            continue;
        int access = m->getAccessFlags();
        if (isMethod(m, "main", MAIN_SIGNATURE, ACC_PUBLIC_STATIC)) {
            found->hasMain = true;
        } else if (isMethod(m, "_jspService", JSP_SERVICE_SIGNATURE, ACC_PUBLIC)) {
            found->hasJspService = true;
        } else if (ClassProfilingHelper::isComponentMarkerMethod(m->getName(), m->getNameLength(), m->getSignature(),
                                                                 m->getSignatureLength(), access)) {
            found->hasComponentMarker = true;
        } else if (Instrumenter::isNativeInstrumented(classFile, m)) {
            found->hasNativeHook = true;
        } else if (mayLoadClasses && (access & ACC_STATIC) == 0 &&
                   (isMethod(m, "loadClass", LOAD_CLASS_SIGNATURE, ACC_PUBLIC) ||
                    (equalText("loadClass", m->getName(), m->getNameLength()) &&
                     equalText(LOAD_CLASS_RESOLVE_SIGNATURE, m->getSignature(), m->getSignatureLength())))) {
            found->isClassLoader = true;
        }
    }
    if (found->hasJspService || found->hasComponentMarker)
        return true;
    return found->hasNativeHook;
}

int ClassDecisions::checkAnnotatedComponentClass(ClassFile *classFile, const char *slashName, bool dontRemember)
{
    for (Tessera::CPInfo *entry : classFile->getConstantPool()) {
        if (entry == nullptr || entry->getTag() != Tessera::CONSTANT_Utf8)
            continue;
        auto *utf8 = static_cast<Tessera::ConstantUtf8Info *>(entry);
        int type = ClassProfilingHelper::getAnnotationComponentType(utf8->getString(), utf8->getStringLength());
        if (type == COMPONENT_NONE)
            continue;
        if (!dontRemember)
            annotatedComponentClassNames.emplace_back(dotted(slashName), type);
        return type;
    }
    return COMPONENT_NONE;
}

bool ClassDecisions::takeAnnotatedComponentClass(const std::string &dottedName, int *type)
{
    for (auto it = annotatedComponentClassNames.begin(); it != annotatedComponentClassNames.end(); ++it) {
        if (it->first == dottedName) {
            *type = it->second;
            annotatedComponentClassNames.erase(it);
            return true;
        }
    }
    return false;
}

bool ClassDecisions::hasMainMethod(ClassFile *classFile, const char *slashName)
{
    if (ClassProfilingHelper::isSpecialMainClass(slashName))
        return true;
    for (MethodInfo *m : classFile->getMethods()) {
        if (m != nullptr && isMethod(m, "main", MAIN_SIGNATURE, ACC_PUBLIC_STATIC))
            return true;
    }
    return false;
}

void ClassDecisions::addToAnnoAndOptionalClasses(const char *name)
{
    annoAndOptionalClasses.insert(name);
}

void ClassDecisions::addToPossiblyInstrumentedClasses(const char *name)
{
    possiblySpecialInstrumentedClasses.insert(name);
}

bool ClassDecisions::isInAnnoAndOptionalClasses(const std::string &name) const
{
    return annoAndOptionalClasses.count(name) != 0;
}

bool ClassDecisions::isInPossiblyInstrumentedClasses(const std::string &name) const
{
    return possiblySpecialInstrumentedClasses.count(name) != 0;
}

void ClassDecisions::verboseOut(const char *format, ...)
{
    if (!switches.verboseInstrumentation)
        return;
    char buffer[VERBOSE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    MessageUtil::message("%s", buffer);
}

bool ClassDecisions::writeClassFile(const char *slashName, const char *suffix, const unsigned char *bytes, int length)
{
    if (debugInstrClassDir.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/ov_clsXXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        // mkdtemp makes the directory private (0700) and never reuses a name.
        if (mkdtemp(name.data()) == nullptr) {
            MessageUtil::message("ERROR: could not create directory for saved classes %s (%s)", pattern.c_str(),
                                 strerror(errno));
            return false;
        }
        debugInstrClassDir = name.data();
        MessageUtil::message("Saving classes to %s", debugInstrClassDir.c_str());
    }
    // With '/' turned into '.' the name cannot leave the directory.
    std::string path = debugInstrClassDir + "/" + dotted(slashName) + suffix;
    MessageUtil::message("writing %s", path.c_str());
    return Tessera::ClassFileWriter::writeByteArrayToFile(reinterpret_cast<const char *>(bytes), length,
                                                          path.c_str()) == 1;
}

int ClassDecisions::doInstrumentation(void *env, const unsigned char *bytes, int length, unsigned char **newBytes,
                                      int *newLength, bool redefining, bool fromJava, bool instrumentFlag)
{
    *newBytes = nullptr;
    *newLength = 0;
    if (bytes == nullptr || length <= 0) {
        MessageUtil::message("ERROR: class could not be read");
        return COMPONENT_NONE;
    }
    try {
        return instrumentClass(env, bytes, length, newBytes, newLength, redefining, fromJava, instrumentFlag);
    } catch (const std::bad_alloc &) {
        MessageUtil::message("ERROR: out of memory while instrumenting a class; the class is left unchanged.");
    } catch (const std::exception &e) {
        MessageUtil::message("ERROR: a class could not be instrumented (%s); the class is left unchanged.", e.what());
    } catch (...) {
        MessageUtil::message("ERROR: a class could not be instrumented; the class is left unchanged.");
    }
    delete[] *newBytes;
    *newBytes = nullptr;
    *newLength = 0;
    return COMPONENT_NONE;
}

int ClassDecisions::instrumentClass(void *env, const unsigned char *bytes, int length, unsigned char **newBytes,
                                    int *newLength, bool redefining, bool fromJava, bool instrumentFlag)
{
    // 1. The head and the method names.
    int headLength = 0;
    ClassFileHolder holder(Tessera::ClassFileReader::readFromByteArray(bytes, length, &headLength, true, false, nullptr));
    ClassFile *classFile = holder.get();
    if (classFile == nullptr || classFile->hasError()) {
        MessageUtil::message("ERROR: class could not be read");
        return COMPONENT_NONE;
    }
    ClassInProgress work = {bytes, length, headLength, classFile, false, false};

    // 2. The name.
    int nameLength = 0;
    const char *nameChars = classFile->getClassName(&nameLength);
    if (nameChars == nullptr) {
        MessageUtil::message("ERROR: class could not be read");
        return COMPONENT_NONE;
    }
    const std::string name(nameChars, static_cast<size_t>(nameLength));
    const char *className = name.c_str();
    bool originalSaved = false;
    if (switches.saveInstrumentedClasses && switches.saveAllClasses)
        originalSaved = writeClassFile(className, ".orig.class", bytes, length);

    // 3. Room in the constant pool (slots 1 to count - 1).
    int poolEntries = static_cast<int>(classFile->getConstantPool().size()) - 1;
    if (poolEntries > MAX_CONSTANT_POOL_ENTRIES) {
        MessageUtil::message("Warning: class %s could not be instrumented.", className);
        MessageUtil::message("because the constant pool is already too large.");
        return COMPONENT_NONE;
    }
    // Every class but java/lang/Object (and a module descriptor) names its
    // super class; without it the class is left alone rather than rewritten
    // on guesses.
    bool isModule = (classFile->getAccessFlags() & ACC_MODULE) != 0;
    if (!isModule && name != "java/lang/Object" &&
        (classFile->getSuperClass() == 0 ||
         classFile->getConstantPoolEntry(classFile->getSuperClass()) == nullptr ||
         classFile->getConstantPoolEntry(classFile->getSuperClass())->getTag() != Tessera::CONSTANT_Class)) {
        MessageUtil::message("Warning: class %s could not be instrumented.", className);
        MessageUtil::message("because its super class is missing.");
        return COMPONENT_NONE;
    }

    if (!fromJava && isBaseClass(name))
        seenBaseClasses.insert(name);

    // 4. Component kind from the annotations.
    int componentKind = checkAnnotatedComponentClass(classFile, className, fromJava);

    // 5. A redefined class starts again uninstrumented.
    std::string dottedName = dotted(name);
    if (redefining) {
        for (MethodInfo *m : classFile->getMethods()) {
            if (m == nullptr)
                continue;
            std::string methodName(m->getName(), static_cast<size_t>(m->getNameLength()));
            std::string signature(m->getSignature(), static_cast<size_t>(m->getSignatureLength()));
            MethodDesc *desc = Instrumenter::getMethodDesc(dottedName.c_str(), methodName.c_str(), signature.c_str());
            if (desc != nullptr)
                Instrumenter::setInstrumentationState(desc, Instrumenter::STATE_NOT_INSTRUMENTED);
        }
    }

    // 6. Special methods.
    SpecialMethods special;
    bool hasSpecialMethods = false;
    bool componentClass = false;
    if (!fromJava) {
        hasSpecialMethods = checkForSpecialMethods(className, classFile, &special);
        componentClass = ClassProfilingHelper::isComponentClass(className);
    }
    if (!switches.hasJvmti)
        special.hasMain = false;

    // 7. Filtering.
    bool hardFiltered = isHardFilteredClass(className);
    bool filtered;
    if (fromJava)
        filtered = hardFiltered || !instrumentFlag;
    else
        filtered = hardFiltered ||
                   classes->isFilteredClassNameSlash(className, config->componentDetection ? !special.hasJspService : false);

    // 8. Probes, inner pass.
    bool isInterface = (classFile->getAccessFlags() & ACC_INTERFACE) != 0;
    int probeKind = 0;
    if (!isInterface && !(switches.jvmtiEventsEnabled && fromJava))
        probeKind = AnnotationInstrumentation::getAnnotationInstrType(classFile, className, fromJava);
    if (probeKind != 0)
        addToAnnoAndOptionalClasses(className);
    if ((probeKind & 1) != 0) {
        verboseOut("ANNOTATION INNER: %s", className);
        if (!work.readBody())
            return unreadableBody(className);
        AnnotationInstrumentation::instrument(static_cast<JNIEnv *>(env), classFile, className, filtered,
                                              hasSpecialMethods, redefining, 1, fromJava);
    }

    // 9. Sleep references (attached agents only) and 10. method hooks; never in interfaces.
    std::vector<int> replaceRefs;
    std::vector<int> staticSleepRefs;
    std::vector<int> parkRefs;
    if (!isInterface) {
        if (switches.attach && !fromJava) {
            if (!startsWith(name, AGENT_PREFIX))
                Instrumenter::findSleepRefs(classFile, &replaceRefs, &staticSleepRefs, &parkRefs);
            if (name == LOCK_SUPPORT)
                parkRefs.clear();
            if (!replaceRefs.empty() || !staticSleepRefs.empty() || !parkRefs.empty())
                verboseOut("THREAD SLEEP: %s (%d, %d, %d)", className, static_cast<int>(replaceRefs.size()),
                           static_cast<int>(staticSleepRefs.size()), static_cast<int>(parkRefs.size()));
            if (!replaceRefs.empty()) {
                if (!work.readBody())
                    return unreadableBody(className);
                Instrumenter::replaceMethodRefs(classFile, replaceRefs);
            }
        }

        bool hooksPlaced = false;
        if (filtered && !hasSpecialMethods) {
            // Calls into this class are recorded by its callers.
        } else if (config->disableCPUProfiling || (session->getCallTreeCollectionMethod() != 1 && !instrumentFlag)) {
            if (hasSpecialMethods)
                addToPossiblyInstrumentedClasses(className);
        } else if (classes->areFiltersSet() || (filtered && hasSpecialMethods)) {
            bool specialOnly = filtered && hasSpecialMethods;
            verboseOut("%s: %s ", specialOnly ? "SPECIAL" : "INSTR", className);
            if (!work.readBody())
                return unreadableBody(className);
            Instrumenter::instrumentClassFile(env, className, true, specialOnly, &staticSleepRefs, &parkRefs,
                                              classFile, redefining, switches.cobalt);
            hooksPlaced = true;
        }
        if (!hooksPlaced && (!staticSleepRefs.empty() || !parkRefs.empty())) {
            if (!work.readBody())
                return unreadableBody(className);
            Instrumenter::instrumentClassFile(env, className, false, false, &staticSleepRefs, &parkRefs, classFile,
                                              redefining, switches.cobalt);
        }
    }

    // 11. The application's main class.
    if (!fromJava && mainClassName.empty() && !hardFiltered && !ClassProfilingHelper::isMainClassException(className) &&
        special.hasMain && !switches.attach) {
        if (!work.readBody())
            return unreadableBody(className);
        if (hasMainMethod(classFile, className) || ClassProfilingHelper::isSpecialMainClass(className))
            mainClassName = name;
    }

    // 12. Components register themselves when made.
    if ((special.hasComponentMarker || componentClass) && !fromJava) {
        addToAnnoAndOptionalClasses(className);
        if (config->componentDetection) {
            verboseOut("COMPONENT: %s", className);
            if (!work.readBody())
                return unreadableBody(className);
            if (startsWith(simpleName(name), "$Proxy"))
                ClassModifications::addRegisterClassHookToClinit(className, classFile);
            else
                ClassModifications::addRegisterClassHook(className, classFile);
        }
    }

    // 13. Net I/O and the outer probe pass.
    if (!fromJava && Instrumenter::isNetIoClass(className)) {
        verboseOut("NETIO: %s", className);
        if (!work.readBody())
            return unreadableBody(className);
        Instrumenter::instrumentClassFileForNetIo(env, className, classFile);
    }
    if ((probeKind & 2) != 0) {
        verboseOut("ANNOTATION OUTER: %s", className);
        if (!work.readBody())
            return unreadableBody(className);
        AnnotationInstrumentation::instrument(static_cast<JNIEnv *>(env), classFile, className, filtered,
                                              hasSpecialMethods, redefining, 2, fromJava);
    }

    // 14. Lock parking.
    if (!fromJava) {
        if (switches.jvmti11 && name == LOCK_SUPPORT) {
            addToAnnoAndOptionalClasses(className);
            if (config->utilConcurrentHandling) {
                verboseOut("PARK2: %s", className);
                if (!work.readBody())
                    return unreadableBody(className);
                ClassModifications::instrumentLockSupport(classFile);
            }
        } else if (!switches.jvmti11 && startsWith(name, ABSTRACT_QUEUED_PREFIX)) {
            addToAnnoAndOptionalClasses(className);
            if (config->utilConcurrentHandling) {
                verboseOut("PARK: %s", className);
                if (!work.readBody())
                    return unreadableBody(className);
                ClassModifications::instrumentLocking(className, classFile);
            }
        }
    }

    // 15. Allocation recording in Object and its switch in String.
    if (!fromJava && name == "java/lang/Object") {
        if (!work.readBody())
            return unreadableBody(className);
        ClassModifications::addObjectConstructor(classFile, switches.attach);
    }
    if (!fromJava && !switches.attach && name == "java/lang/String") {
        if (!work.readBody())
            return unreadableBody(className);
        ClassModifications::addCallAgentField(classFile);
    }

    // 16. Serialisation must not see the agent's changes.
    if (name == "java/io/ObjectStreamClass" && switches.replaceNativeMethods &&
        (!fromJava || !switches.jvmtiEventsEnabled)) {
        verboseOut("INSTRUMENT OBJECT STREAM CLASS");
        if (!work.readBody())
            return unreadableBody(className);
        ClassModifications::instrumentObjectStreamClass(classFile);
    }

    // 17. Array allocations, chosen by the code the head read saw.
    if (switches.arrayAllocations || switches.retransformArrayAllocs) {
        std::vector<size_t> allocating;
        std::vector<MethodInfo *> &methods = classFile->getMethods();
        for (size_t i = 0; i < methods.size(); i++) {
            MethodInfo *m = methods[i];
            if (m != nullptr && m->getCodeLength() > 0 &&
                Tessera::ByteCodeReader::hasArrayAllocations(m->getCodeStart(), m->getCodeLength()))
                allocating.push_back(i);
        }
        if (!allocating.empty()) {
            if (!work.readBody())
                return unreadableBody(className);
            for (size_t i : allocating) {
                if (i < classFile->getMethods().size() && classFile->getMethods()[i] != nullptr)
                    Instrumenter::addArrayAllocationInstrumentation(classFile, classFile->getMethods()[i]);
            }
        }
    }

    // 18. Class loaders.
    if (special.isClassLoader && !isInterface && (!fromJava || !switches.jvmtiEventsEnabled) &&
        name != "com/ibm/oti/vm/BootstrapClassLoader") {
        verboseOut("LOAD CLASS: %s", className);
        if (!work.readBody())
            return unreadableBody(className);
        ClassModifications::instrumentLoadClass(classFile);
    }

    // 19. Write back what was read whole.
    if (!work.bodyRead)
        return componentKind;
    char *out = nullptr;
    int written = Tessera::ClassFileWriter::writeToByteArray(&out, classFile);
    if (written <= 0 || out == nullptr) {
        MessageUtil::message("ERROR: class %s could not be written; it stays unchanged.", className);
        delete[] out;
        return componentKind;
    }
    *newBytes = reinterpret_cast<unsigned char *>(out);
    *newLength = written;
    if (switches.saveInstrumentedClasses) {
        if (!originalSaved)
            writeClassFile(className, ".orig.class", bytes, length);
        writeClassFile(className, ".class", *newBytes, *newLength);
    }
    return componentKind;
}

int ClassDecisions::unreadableBody(const char *className)
{
    MessageUtil::message("ERROR: class %s could not be read; it stays unchanged.", className);
    return COMPONENT_NONE;
}

