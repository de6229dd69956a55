#include "LiveProfiling.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "BlobResource.h"
#include "CpuProfilingSession.h"
#include "HeapProfilingSession.h"
#include "DataWriter.h"
#include "JavaControls.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "TempFiles.h"

namespace {

const jint JVMTI_VERSION_1_1_REQUEST = 0x30010100;
const jint JVMTI_VERSION_1_0_REQUEST = 0x30010000;
const int COMM_THREAD_PRIORITY = 5;

void JNICALL comThreadCallback(jvmtiEnv *, JNIEnv *env, void *)
{
    LiveProfiling::instance().getSession()->runCommunicator(env);
}

jclass globalClass(JNIEnv *env, const char *name)
{
    jclass local = env->FindClass(name);
    if (local == nullptr) {
        env->ExceptionClear();
        return nullptr;
    }
    jclass global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

jmethodID staticMethod(JNIEnv *env, jclass cls, const char *name, const char *signature)
{
    jmethodID m = env->GetStaticMethodID(cls, name, signature);
    if (m == nullptr)
        env->ExceptionClear();
    LiveProfiling::instance().requireFound(m, name);
    return m;
}

jfieldID staticField(JNIEnv *env, jclass cls, const char *name, const char *signature)
{
    jfieldID f = env->GetStaticFieldID(cls, name, signature);
    if (f == nullptr)
        env->ExceptionClear();
    LiveProfiling::instance().requireFound(f, name);
    return f;
}

} // namespace

LiveProfiling &LiveProfiling::instance()
{
    static LiveProfiling *edge = new LiveProfiling();
    return *edge;
}

LiveProfiling::LiveProfiling()
    : vm(nullptr), jvmti(nullptr), startTime(0), startupMonitor(nullptr), heapMonitor(nullptr), classMonitor(nullptr),
      threadMonitor(nullptr), sleepMonitor(nullptr), deadThreadsMonitor(nullptr), snapshotMonitor(nullptr),
      monitors(&rawMonitorBackend), agentClass(nullptr),
      instrumentationCalleeClass(nullptr), agentInit(nullptr), agentVmIdentifier(nullptr), agentRegisterConnection(nullptr),
      agentGetAvailablePermGen(nullptr), nowait(false), offline(false), jniInterception(false), disableThreadProfiling(false),
      threadProfiling(false), monitorProfiling(false), vmTelemetry(false), configAtStartup(true), javaCommThreadShouldEnter(false),
      waitsForDisconnect(false), shouldWakeup(false), dying(false), shuttingDown(false), jvmti11(false), ibmVm(false),
      jrockitVm(false), frontendWasConnected(false), rawMonitorBackend(this), liveProfilingSession(nullptr)
{
}

LiveProfiling::~LiveProfiling() = default;

void LiveProfiling::RawMonitorBackend::enter(int which)
{
    jrawMonitorID m = monitorOf(which);
    if (m != nullptr)
        edge->jvmti->RawMonitorEnter(m);
}

void LiveProfiling::RawMonitorBackend::exit(int which)
{
    jrawMonitorID m = monitorOf(which);
    if (m != nullptr)
        edge->jvmti->RawMonitorExit(m);
}

jrawMonitorID LiveProfiling::RawMonitorBackend::monitorOf(int which) const
{
    switch (which) {
    case IM_CLASS:
        return edge->classMonitor;
    case IM_HEAP:
        return edge->heapMonitor;
    case IM_THREAD:
        return edge->threadMonitor;
    case IM_DEAD_THREADS:
        return edge->deadThreadsMonitor;
    default:
        return edge->startupMonitor;
    }
}

void LiveProfiling::load(JavaVM *javaVm, const char *options, bool attach)
{
    if (jvmti != nullptr) {
        // A second load of this library into the same VM (jcmd again, or the
        // option twice): a second set of hooks would record every call twice.
        MessageUtil::message("The agent is already running in this VM; this load changes nothing.");
        return;
    }
    bool switching = liveProfilingSession != nullptr;
    if (liveProfilingSession == nullptr)
        liveProfilingSession = new LiveProfilingSession(this);
    liveProfilingSession->init(javaVm, options, attach, switching);
}

void LiveProfiling::setCpuSession(std::unique_ptr<CpuProfilingSession> cpu)
{
    cpuSession = std::move(cpu);
}

void LiveProfiling::setHeapSession(std::unique_ptr<HeapProfilingSession> heap)
{
    heapSession = std::move(heap);
}

void LiveProfiling::initializeInterface(JavaVM *javaVm)
{
    vm = javaVm;
    void *env = nullptr;
    jint result = javaVm->GetEnv(&env, JVMTI_VERSION_1_1_REQUEST);
    if (result != JNI_OK)
        result = javaVm->GetEnv(&env, JVMTI_VERSION_1_0_REQUEST);
    if (result != JNI_OK || env == nullptr) {
        endVm(VmEnd::NO_JVMTI);
    }
    jvmti = static_cast<jvmtiEnv *>(env);
}

void LiveProfiling::checkFatalError(const char *name, int code)
{
    if (code == 0)
        return;
    MessageUtil::message("Could not initialize %s (code: %d). Aborting", name, code);
    endVm(VmEnd::FATAL_INIT);
}

void LiveProfiling::endVm(VmEnd reason)
{
    vmEndProcess(reason);
}

void LiveProfiling::requireFound(const void *found, const char *what)
{
    if (found != nullptr)
        return;
    MessageUtil::message("Assertion failed: %s is missing", what);
    endVm(VmEnd::JAVA_MEMBER_MISSING);
}

std::string LiveProfiling::getProperty(const char *name)
{
    char *value = nullptr;
    if (jvmti->GetSystemProperty(name, &value) != JVMTI_ERROR_NONE || value == nullptr)
        return std::string();
    std::string copy(value);
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(value));
    return copy;
}

JNIEnv *LiveProfiling::getJNIEnv()
{
    void *env = nullptr;
    if (vm == nullptr || vm->GetEnv(&env, JNI_VERSION_1_4) != JNI_OK)
        return nullptr;
    return static_cast<JNIEnv *>(env);
}

jthread LiveProfiling::createThreadObject(JNIEnv *env, const char *name)
{
    jclass threadClass = env->FindClass("java/lang/Thread");
    requireFound(threadClass, "java/lang/Thread");
    jmethodID constructor = env->GetMethodID(threadClass, "<init>", "(Ljava/lang/String;)V");
    requireFound(constructor, "Thread(String)");
    jstring threadName = env->NewStringUTF(name);
    jthread thread = env->NewObject(threadClass, constructor, threadName);
    requireFound(thread, name);
    env->DeleteLocalRef(threadName);
    env->DeleteLocalRef(threadClass);
    return thread;
}

void LiveProfiling::writeAgentArchive()
{
    std::string path;
    int fd = TempFiles::createFile("jag", path);
    if (fd < 0) {
        MessageUtil::message("Could not get agent temp file name. Please check your TMP and TMPDIR environment variables.");
        endVm(VmEnd::NO_TEMP_FILES);
    }
    agentFileName = path;
    // However the process ends (the VM's own exit, System.exit, the front
    // end's exit command), the archive goes with it.
    atexit([] { LiveProfiling::instance().finalCleanup(); });
    FILE *file = fdopen(fd, "w+b");
    if (file == nullptr) {
        close(fd);
        MessageUtil::message("Could not create agent temp file %s.  Please check your TMP and TMPDIR environment variables.", path.c_str());
        endVm(VmEnd::NO_TEMP_FILES);
    }
    bool written = BlobResource::writeFile(file);
    if (fclose(file) != 0)
        written = false;
    if (!written) {
        MessageUtil::message("Could not write agent temp file %s.  Please check your TMP and TMPDIR environment variables.", path.c_str());
        endVm(VmEnd::NO_TEMP_FILES);
    }
    jvmtiError error = jvmti->AddToBootstrapClassLoaderSearch(path.c_str());
    if (error != JVMTI_ERROR_NONE)
        MessageUtil::message("could not add agent.jar to boot class loader %d\n", static_cast<int>(error));
}

void LiveProfiling::initTempDir()
{
    std::string dir = TempFiles::createDirectory("jscl");
    if (dir.empty()) {
        MessageUtil::message("Could not create temp directory. Please check your TMP and TMPDIR environment variables.");
        endVm(VmEnd::NO_TEMP_FILES);
    }
    scriptDirName = dir;
}

void LiveProfiling::lookupJavaClasses(JNIEnv *env)
{
    if (agentClass != nullptr)
        return;
    jclass agent = globalClass(env, "com/orvane/agent/Agent");
    requireFound(agent, "com/orvane/agent/Agent");
    agentInit = staticMethod(env, agent, "init", "()V");
    staticMethod(env, agent, "setAllocRecording", "(ZZ)Z");
    staticMethod(env, agent, "setCpuRecording", "(ZZ)Z");
    staticMethod(env, agent, "isCallTreeRecording", "()Z");
    staticMethod(env, agent, "updateConfig", "()V");
    agentGetAvailablePermGen = staticMethod(env, agent, "getAvailablePermGen", "()J");
    agentRegisterConnection = staticMethod(env, agent, "registerConnectionAgentProperty", "(Z)V");
    agentVmIdentifier = staticField(env, agent, "vmIdentifier", "J");

    instrumentationCalleeClass = globalClass(env, "com/orvane/agent/InstrumentationCallee");
    requireFound(instrumentationCalleeClass, "com/orvane/agent/InstrumentationCallee");
    staticMethod(env, instrumentationCalleeClass, "__orvane_annotationEnterMethod",
                 "(ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;[Ljava/lang/Object;)V");
    agentClass = agent;
}

void LiveProfiling::initCommunication(JNIEnv *env)
{
    LiveProfilingSession *session = liveProfilingSession;
    if (offline || nowait) {
        // A configuration read from the file at start-up is applied before
        // main runs, with its start-up switches: what it records, it records
        // from the start.
        if (offline || session->isConfigRead()) {
            session->initParameters(env);
            session->applyStartupSwitches(env, nullptr);
        }
        javaCommThreadShouldEnter = true;
        return;
    }
    // Listen first: whoever reads the message below may connect at once.
    session->listenForFrontend();
    jthread thread = createThreadObject(env, "_orvane_native_comm");
    checkFatalError("communication thread", jvmti->RunAgentThread(thread, comThreadCallback, nullptr, COMM_THREAD_PRIORITY));
    env->DeleteLocalRef(thread);
    MessageUtil::message("Waiting for a connection from the Orvane GUI ...");
    while (session->getCommunicatorStatus() == Communicator::STATUS_WAITING && !frontendWasConnected)
        session->sleep(100);
}

namespace {

// Java calls of the controls: a pending exception is cleared so that the
// command thread goes on.
void clearException(JNIEnv *env)
{
    if (env->ExceptionCheck())
        env->ExceptionClear();
}

} // namespace

void LiveProfiling::enableTriggers(JNIEnv *env, bool on)
{
    JavaControls::enableTriggers(env, on);
}

jstring LiveProfiling::doHprofDump(const char *path, bool live, JNIEnv *env, bool flag)
{
    return JavaControls::hprofDump(env, path, live, flag);
}

void LiveProfiling::registerConnection(JNIEnv *env, bool connected)
{
    lookupJavaClasses(env);
    env->CallStaticVoidMethod(agentClass, agentRegisterConnection, static_cast<jboolean>(connected));
    clearException(env);
}

bool LiveProfiling::triggersEnabled(JNIEnv *env)
{
    return JavaControls::triggersEnabled(env);
}

void LiveProfiling::cleanup()
{
    if (snapshotMonitor != nullptr)
        jvmti->RawMonitorEnter(snapshotMonitor);
    dying = true;
    if (liveProfilingSession != nullptr)
        liveProfilingSession->deleteTempFiles();
    if (snapshotMonitor != nullptr)
        jvmti->RawMonitorExit(snapshotMonitor);
}

void LiveProfiling::finalCleanup()
{
    // A process the front end ended (or that exits without the VM's death
    // event) has not cleaned up yet.
    if (liveProfilingSession != nullptr)
        liveProfilingSession->deleteTempFiles();
    if (!agentFileName.empty()) {
        unlink(agentFileName.c_str());
        agentFileName.clear();
    }
}

void LiveProfiling::switchMonitorEvents(bool on)
{
    jvmtiEventMode mode = on ? JVMTI_ENABLE : JVMTI_DISABLE;
    const jvmtiEvent events[] = {JVMTI_EVENT_MONITOR_CONTENDED_ENTER, JVMTI_EVENT_MONITOR_CONTENDED_ENTERED, JVMTI_EVENT_MONITOR_WAITED,
                                 JVMTI_EVENT_MONITOR_WAIT};
    for (jvmtiEvent event : events) {
        jvmtiError error = jvmti->SetEventNotificationMode(mode, event, nullptr);
        if (error != JVMTI_ERROR_NONE)
            MessageUtil::message("Could not switch monitor event %d (%d).", static_cast<int>(event), static_cast<int>(error));
    }
}

void LiveProfiling::setMonitorProfiling(bool on, JNIEnv *)
{
    if (on && cpuSession != nullptr)
        cpuSession->markNewMonitorData();
    monitorProfiling = on;
    // Switching off leaves the events to thread profiling when it wants them.
    if (jvmti != nullptr && (on || !threadProfiling))
        switchMonitorEvents(on);
}

void LiveProfiling::setThreadProfiling(bool on, JNIEnv *)
{
    if (disableThreadProfiling)
        return;
    bool keepEvents = !on && monitorProfiling;
    threadProfiling = on;
    if (keepEvents)
        return;
    switchMonitorEvents(on);
}

long long LiveProfiling::getAvailablePermGen(JNIEnv *env)
{
    lookupJavaClasses(env);
    jlong available = env->CallStaticLongMethod(agentClass, agentGetAvailablePermGen);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return -1;
    }
    return available;
}

void LiveProfiling::handleCmdGetLoadInfo(DataWriter *writer, JNIEnv *env, bool connectedBefore, unsigned communicatorStatus)
{
    LiveProfilingSession *session = liveProfilingSession;
    writer->writeString(session->getVmVersion().c_str());
    bool attached = session->isAttached();
    if (!jvmti11 || ibmVm || (!nowait && !attached && !connectedBefore && communicatorStatus != 1)) {
        writer->writeByte(0);
        return;
    }
    writer->writeByte(1);
    writer->writeByte(attached ? 1 : 0);
    writer->writeByte(nowait ? 1 : 0);
    writer->writeByte(session->isRecordingArrayAllocs() ? 1 : 0);
    bool sharing = getProperty("java.vm.info").find("sharing") != std::string::npos;
    writer->writeByte(attached && session->isSwitching() && !sharing ? 1 : 0);
    writer->writeByte(attached && sharing ? 1 : 0);
    writer->writeJLong(getAvailablePermGen(env));

    session->enterMonitor(IM_CLASS);
    writeLoadedClassNames(writer, env);
    writer->writeByte(0);
    session->exitMonitor(IM_CLASS, false);
    session->getClassSession().writeLoadInfo(writer);
}

namespace {

// The internal name of a loaded class the front end may ask to rewrite (a
// modifiable class, not an interface); false for any other.
bool modifiableClassName(jvmtiEnv *jvmti, jclass klass, std::string *out)
{
    jboolean modifiable = JNI_FALSE;
    jboolean isInterface = JNI_FALSE;
    char *signature = nullptr;
    if (jvmti->IsModifiableClass(klass, &modifiable) != JVMTI_ERROR_NONE || !modifiable ||
        jvmti->IsInterface(klass, &isInterface) != JVMTI_ERROR_NONE || isInterface ||
        jvmti->GetClassSignature(klass, &signature, nullptr) != JVMTI_ERROR_NONE || signature == nullptr)
        return false;
    std::string name(signature);
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(signature));
    if (name.size() < 2 || name[0] != 'L')
        return false;
    *out = name.substr(1, name.size() - 2);
    return true;
}

} // namespace

void LiveProfiling::writeLoadedClassNames(DataWriter *writer, JNIEnv *env)
{
    if (env->PushLocalFrame(10000) != 0)
        return;
    jint count = 0;
    jclass *classes = nullptr;
    if (jvmti->GetLoadedClasses(&count, &classes) == JVMTI_ERROR_NONE) {
        for (jint i = 0; i < count; i++) {
            std::string name;
            if (!modifiableClassName(jvmti, classes[i], &name))
                continue;
            writer->writeByte(1);
            writer->writeString(name.c_str());
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(classes));
    }
    env->PopLocalFrame(nullptr);
}
