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
#include "io/DataInput.h"
#include "structures/AttributeHelper.h"
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

// Everything one pass of the class rewriting knows about the loading class.
struct ClassDecisions::LoadingClass {
    LoadingClass(void *env, const unsigned char *bytes, int length, int headLength, ClassFile *classFile, bool redefining,
                 bool fromJava, bool instrumentFlag)
        : env(env), work{bytes, length, headLength, classFile, false, false}, classFile(classFile), redefining(redefining),
          fromJava(fromJava), instrumentFlag(instrumentFlag)
    {
    }
    const char *className() const { return name.c_str(); }
    bool readBody() { return work.readBody(); }

    void *env;
    ClassInProgress work;
    ClassFile *classFile;
    const bool redefining;
    const bool fromJava;
    const bool instrumentFlag;
    std::string name; // internal form
    bool originalSaved = false;
    SpecialMethods special;
    bool hasSpecialMethods = false;
    bool componentClass = false;
    bool hardFiltered = false;
    bool filtered = false;
    bool isInterface = false;
    int probeKind = 0; // bit 1 inner probe pass, bit 2 outer
    std::vector<int> replaceRefs;
    std::vector<int> staticSleepRefs;
    std::vector<int> parkRefs;
};

int ClassDecisions::instrumentClass(void *env, const unsigned char *bytes, int length, unsigned char **newBytes,
                                    int *newLength, bool redefining, bool fromJava, bool instrumentFlag)
{
    // The head and the method names first; the body only when a step rewrites.
    int headLength = 0;
    ClassFileHolder holder(Tessera::ClassFileReader::readFromByteArray(bytes, length, &headLength, true, false, nullptr));
    ClassFile *classFile = holder.get();
    if (classFile == nullptr || classFile->hasError()) {
        MessageUtil::message("ERROR: class could not be read");
        return COMPONENT_NONE;
    }
    LoadingClass c(env, bytes, length, headLength, classFile, redefining, fromJava, instrumentFlag);
    if (!acceptClass(c))
        return COMPONENT_NONE;
    int componentKind = checkAnnotatedComponentClass(classFile, c.className(), fromJava);
    resetRedefinedMethods(c);
    decideFiltering(c);
    // The order of the steps is the order their changes must reach the class.
    bool readable = placeInnerProbes(c) && replaceSleepRefs(c) && placeMethodHooks(c) && noteMainClass(c) &&
                    addComponentHooks(c) && placeNetIoAndOuterProbes(c) && addLockParking(c) && addClassLevelChanges(c) &&
                    addArrayAllocationHooks(c) && addLoadClassHooks(c);
    if (!readable)
        return unreadableBody(c.className());
    writeBack(c, newBytes, newLength);
    return componentKind;
}

bool ClassDecisions::acceptClass(LoadingClass &c)
{
    ClassFile *classFile = c.classFile;
    int nameLength = 0;
    const char *nameChars = classFile->getClassName(&nameLength);
    if (nameChars == nullptr) {
        MessageUtil::message("ERROR: class could not be read");
        return false;
    }
    c.name.assign(nameChars, static_cast<size_t>(nameLength));
    if (switches.saveInstrumentedClasses && switches.saveAllClasses)
        c.originalSaved = writeClassFile(c.className(), ".orig.class", c.work.bytes, c.work.length);

    // Room in the constant pool (slots 1 to count - 1).
    int poolEntries = static_cast<int>(classFile->getConstantPool().size()) - 1;
    if (poolEntries > MAX_CONSTANT_POOL_ENTRIES) {
        MessageUtil::message("Warning: class %s could not be instrumented.", c.className());
        MessageUtil::message("because the constant pool is already too large.");
        return false;
    }
    if (!hasSuperClass(c)) {
        MessageUtil::message("Warning: class %s could not be instrumented.", c.className());
        MessageUtil::message("because its super class is missing.");
        return false;
    }
    if (!c.fromJava && isBaseClass(c.name))
        seenBaseClasses.insert(c.name);
    return true;
}

bool ClassDecisions::hasSuperClass(const LoadingClass &c)
{
    // Every class but java/lang/Object (and a module descriptor) names its
    // super class; without it the class is left alone rather than rewritten
    // on guesses.
    ClassFile *classFile = c.classFile;
    if ((classFile->getAccessFlags() & ACC_MODULE) != 0 || c.name == "java/lang/Object")
        return true;
    int super = classFile->getSuperClass();
    return super != 0 && classFile->getConstantPoolEntry(super) != nullptr &&
           classFile->getConstantPoolEntry(super)->getTag() == Tessera::CONSTANT_Class;
}

void ClassDecisions::resetRedefinedMethods(LoadingClass &c)
{
    // A redefined class starts again uninstrumented.
    if (!c.redefining)
        return;
    std::string dottedName = dotted(c.name);
    for (MethodInfo *m : c.classFile->getMethods()) {
        if (m == nullptr)
            continue;
        std::string methodName(m->getName(), static_cast<size_t>(m->getNameLength()));
        std::string signature(m->getSignature(), static_cast<size_t>(m->getSignatureLength()));
        MethodDesc *desc = Instrumenter::getMethodDesc(dottedName.c_str(), methodName.c_str(), signature.c_str());
        if (desc != nullptr)
            Instrumenter::setInstrumentationState(desc, Instrumenter::STATE_NOT_INSTRUMENTED);
    }
}

void ClassDecisions::decideFiltering(LoadingClass &c)
{
    const char *className = c.className();
    if (!c.fromJava) {
        c.hasSpecialMethods = checkForSpecialMethods(className, c.classFile, &c.special);
        c.componentClass = ClassProfilingHelper::isComponentClass(className);
    }
    if (!switches.hasJvmti)
        c.special.hasMain = false;

    c.hardFiltered = isHardFilteredClass(className);
    if (c.fromJava)
        c.filtered = c.hardFiltered || !c.instrumentFlag;
    else
        c.filtered = c.hardFiltered ||
                     classes->isFilteredClassNameSlash(className, config->componentDetection ? !c.special.hasJspService : false);
    c.isInterface = (c.classFile->getAccessFlags() & ACC_INTERFACE) != 0;
}

bool ClassDecisions::placeInnerProbes(LoadingClass &c)
{
    if (!c.isInterface && !(switches.jvmtiEventsEnabled && c.fromJava))
        c.probeKind = AnnotationInstrumentation::getAnnotationInstrType(c.classFile, c.className(), c.fromJava);
    if (c.probeKind != 0)
        addToAnnoAndOptionalClasses(c.className());
    if ((c.probeKind & 1) == 0)
        return true;
    verboseOut("ANNOTATION INNER: %s", c.className());
    if (!c.readBody())
        return false;
    AnnotationInstrumentation::instrument(static_cast<JNIEnv *>(c.env), c.classFile, c.className(), c.filtered,
                                          c.hasSpecialMethods, c.redefining, 1, c.fromJava);
    return true;
}

bool ClassDecisions::replaceSleepRefs(LoadingClass &c)
{
    // Attached agents only, never in interfaces.
    if (c.isInterface || !switches.attach || c.fromJava)
        return true;
    if (!startsWith(c.name, AGENT_PREFIX))
        Instrumenter::findSleepRefs(c.classFile, &c.replaceRefs, &c.staticSleepRefs, &c.parkRefs);
    if (c.name == LOCK_SUPPORT)
        c.parkRefs.clear();
    if (!c.replaceRefs.empty() || !c.staticSleepRefs.empty() || !c.parkRefs.empty())
        verboseOut("THREAD SLEEP: %s (%d, %d, %d)", c.className(), static_cast<int>(c.replaceRefs.size()),
                   static_cast<int>(c.staticSleepRefs.size()), static_cast<int>(c.parkRefs.size()));
    if (c.replaceRefs.empty())
        return true;
    if (!c.readBody())
        return false;
    Instrumenter::replaceMethodRefs(c.classFile, c.replaceRefs);
    return true;
}

ClassDecisions::HookChoice ClassDecisions::chooseMethodHooks(const LoadingClass &c) const
{
    if (c.filtered && !c.hasSpecialMethods)
        return HOOKS_NONE; // calls into this class are recorded by its callers
    if (config->disableCPUProfiling || (session->getCallTreeCollectionMethod() != 1 && !c.instrumentFlag))
        return c.hasSpecialMethods ? HOOKS_LATER : HOOKS_NONE;
    if (classes->areFiltersSet() || (c.filtered && c.hasSpecialMethods))
        return HOOKS_NOW;
    return HOOKS_NONE;
}

namespace {

// Whether a class has a method with a body, read from the bytes that follow
// its head without touching the model: an interface of abstract methods
// only is left unread and as it is.
bool hasMethodWithBody(const unsigned char *bytes, int length, int headLength)
{
    const int accAbstract = 0x0400;
    Tessera::DataInput input(reinterpret_cast<const char *>(bytes + headLength), length - headLength);
    int fieldCount = input.readUnsignedShort();
    for (int i = 0; i < fieldCount && !input.hasOverrun(); i++) {
        input.skipBytes(6);
        Tessera::AttributeHelper::skipAttributes(&input);
    }
    int methodCount = input.hasOverrun() ? 0 : input.readUnsignedShort();
    for (int i = 0; i < methodCount && !input.hasOverrun(); i++) {
        if ((input.readUnsignedShort() & accAbstract) == 0)
            return !input.hasOverrun();
        input.skipBytes(4);
        Tessera::AttributeHelper::skipAttributes(&input);
    }
    return false;
}

} // namespace

bool ClassDecisions::placeMethodHooks(LoadingClass &c)
{
    // Default, static and private methods of an interface get hooks too.
    if (c.isInterface && !hasMethodWithBody(c.work.bytes, c.work.length, c.work.headLength))
        return true;
    HookChoice choice = chooseMethodHooks(c);
    if (choice == HOOKS_LATER)
        addToPossiblyInstrumentedClasses(c.className());
    if (choice == HOOKS_NOW) {
        bool specialOnly = c.filtered && c.hasSpecialMethods;
        verboseOut("%s: %s ", specialOnly ? "SPECIAL" : "INSTR", c.className());
        if (!c.readBody())
            return false;
        Instrumenter::instrumentClassFile(c.env, c.className(), true, specialOnly, &c.staticSleepRefs, &c.parkRefs,
                                          c.classFile, c.redefining, switches.cobalt);
        return true;
    }
    if (c.staticSleepRefs.empty() && c.parkRefs.empty())
        return true;
    if (!c.readBody())
        return false;
    Instrumenter::instrumentClassFile(c.env, c.className(), false, false, &c.staticSleepRefs, &c.parkRefs, c.classFile,
                                      c.redefining, switches.cobalt);
    return true;
}

bool ClassDecisions::noteMainClass(LoadingClass &c)
{
    if (c.fromJava || !mainClassName.empty() || c.hardFiltered ||
        ClassProfilingHelper::isMainClassException(c.className()) || !c.special.hasMain || switches.attach)
        return true;
    if (!c.readBody())
        return false;
    if (hasMainMethod(c.classFile, c.className()) || ClassProfilingHelper::isSpecialMainClass(c.className()))
        mainClassName = c.name;
    return true;
}

bool ClassDecisions::addComponentHooks(LoadingClass &c)
{
    // Components register themselves when made.
    if ((!c.special.hasComponentMarker && !c.componentClass) || c.fromJava)
        return true;
    addToAnnoAndOptionalClasses(c.className());
    if (!config->componentDetection)
        return true;
    verboseOut("COMPONENT: %s", c.className());
    if (!c.readBody())
        return false;
    if (startsWith(simpleName(c.name), "$Proxy"))
        ClassModifications::addRegisterClassHookToClinit(c.className(), c.classFile);
    else
        ClassModifications::addRegisterClassHook(c.className(), c.classFile);
    return true;
}

bool ClassDecisions::placeNetIoAndOuterProbes(LoadingClass &c)
{
    if (!c.fromJava && Instrumenter::isNetIoClass(c.className())) {
        verboseOut("NETIO: %s", c.className());
        if (!c.readBody())
            return false;
        Instrumenter::instrumentClassFileForNetIo(c.env, c.className(), c.classFile);
    }
    if ((c.probeKind & 2) == 0)
        return true;
    verboseOut("ANNOTATION OUTER: %s", c.className());
    if (!c.readBody())
        return false;
    AnnotationInstrumentation::instrument(static_cast<JNIEnv *>(c.env), c.classFile, c.className(), c.filtered,
                                          c.hasSpecialMethods, c.redefining, 2, c.fromJava);
    return true;
}

bool ClassDecisions::addLockParking(LoadingClass &c)
{
    if (c.fromJava)
        return true;
    bool lockSupport = switches.jvmti11 && c.name == LOCK_SUPPORT;
    bool queuedSynchronizer = !switches.jvmti11 && startsWith(c.name, ABSTRACT_QUEUED_PREFIX);
    if (!lockSupport && !queuedSynchronizer)
        return true;
    addToAnnoAndOptionalClasses(c.className());
    if (!config->utilConcurrentHandling)
        return true;
    if (lockSupport) {
        verboseOut("PARK2: %s", c.className());
        if (!c.readBody())
            return false;
        ClassModifications::instrumentLockSupport(c.classFile);
        return true;
    }
    verboseOut("PARK: %s", c.className());
    if (!c.readBody())
        return false;
    ClassModifications::instrumentLocking(c.className(), c.classFile);
    return true;
}

bool ClassDecisions::addClassLevelChanges(LoadingClass &c)
{
    // Allocation recording in Object and its switch in String. Object is
    // loaded before String: its hook reads the switch that String gets when
    // it loads. Once String is there without the switch (loaded before the
    // agent saw classes), a rewritten Object that read it would fail in every
    // constructor, also in the constructor of the error itself: the hook
    // then goes without the switch, as it does when attached.
    if (!c.fromJava && switches.allocationHooks && c.name == "java/lang/Object") {
        if (!c.readBody())
            return false;
        bool switchless = switches.attach || (c.redefining && !stringSwitchAdded);
        ClassModifications::addObjectConstructor(c.classFile, switchless);
    }
    if (!c.fromJava && switches.allocationHooks && !switches.attach && c.name == "java/lang/String") {
        if (!c.readBody())
            return false;
        // A retransformation can neither add the field nor drop it.
        if (!c.redefining || stringSwitchAdded) {
            ClassModifications::addCallAgentField(c.classFile);
            stringSwitchAdded = true;
        }
    }
    // Serialisation must not see the agent's changes.
    if (c.name == "java/io/ObjectStreamClass" && switches.replaceNativeMethods &&
        (!c.fromJava || !switches.jvmtiEventsEnabled)) {
        verboseOut("INSTRUMENT OBJECT STREAM CLASS");
        if (!c.readBody())
            return false;
        ClassModifications::instrumentObjectStreamClass(c.classFile);
    }
    return true;
}

bool ClassDecisions::addArrayAllocationHooks(LoadingClass &c)
{
    if (!switches.arrayAllocations && !switches.retransformArrayAllocs)
        return true;
    // Chosen by the code the head read saw.
    std::vector<size_t> allocating;
    std::vector<MethodInfo *> &methods = c.classFile->getMethods();
    for (size_t i = 0; i < methods.size(); i++) {
        MethodInfo *m = methods[i];
        if (m != nullptr && m->getCodeLength() > 0 &&
            Tessera::ByteCodeReader::hasArrayAllocations(m->getCodeStart(), m->getCodeLength()))
            allocating.push_back(i);
    }
    if (allocating.empty())
        return true;
    if (!c.readBody())
        return false;
    for (size_t i : allocating) {
        if (i < c.classFile->getMethods().size() && c.classFile->getMethods()[i] != nullptr)
            Instrumenter::addArrayAllocationInstrumentation(c.classFile, c.classFile->getMethods()[i]);
    }
    return true;
}

bool ClassDecisions::addLoadClassHooks(LoadingClass &c)
{
    if (!c.special.isClassLoader || c.isInterface || (c.fromJava && switches.jvmtiEventsEnabled) ||
        c.name == "com/ibm/oti/vm/BootstrapClassLoader")
        return true;
    verboseOut("LOAD CLASS: %s", c.className());
    if (!c.readBody())
        return false;
    ClassModifications::instrumentLoadClass(c.classFile);
    return true;
}

void ClassDecisions::writeBack(LoadingClass &c, unsigned char **newBytes, int *newLength)
{
    // Only what was read whole is written back.
    if (!c.work.bodyRead)
        return;
    char *out = nullptr;
    int written = Tessera::ClassFileWriter::writeToByteArray(&out, c.classFile);
    if (written <= 0 || out == nullptr) {
        MessageUtil::message("ERROR: class %s could not be written; it stays unchanged.", c.className());
        delete[] out;
        return;
    }
    *newBytes = reinterpret_cast<unsigned char *>(out);
    *newLength = written;
    if (!switches.saveInstrumentedClasses)
        return;
    if (!c.originalSaved)
        writeClassFile(c.className(), ".orig.class", c.work.bytes, c.work.length);
    writeClassFile(c.className(), ".class", *newBytes, *newLength);
}

int ClassDecisions::unreadableBody(const char *className)
{
    MessageUtil::message("ERROR: class %s could not be read; it stays unchanged.", className);
    return COMPONENT_NONE;
}

