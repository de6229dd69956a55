#include "LiveProfiling.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "AgentAssert.h"
#include "BlobResource.h"
#include "DataWriter.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"
#include "TempFiles.h"

namespace {

const jint JVMTI_VERSION_1_1_REQUEST = 0x30010100;
const jint JVMTI_VERSION_1_0_REQUEST = 0x30010000;
const int COMM_THREAD_PRIORITY = 5;

// The four data locks as JVMTI raw monitors.
class RawMonitorBackend : public MonitorSet::Backend {
public:
    void enter(int which) override
    {
        jrawMonitorID m = monitorOf(which);
        if (m != nullptr)
            LiveProfiling::jvmti->RawMonitorEnter(m);
    }
    void exit(int which) override
    {
        jrawMonitorID m = monitorOf(which);
        if (m != nullptr)
            LiveProfiling::jvmti->RawMonitorExit(m);
    }

private:
    static jrawMonitorID monitorOf(int which)
    {
        switch (which) {
        case IM_CLASS:
            return LiveProfiling::classMonitor;
        case IM_HEAP:
            return LiveProfiling::heapMonitor;
        case IM_THREAD:
            return LiveProfiling::threadMonitor;
        case IM_DEAD_THREADS:
            return LiveProfiling::deadThreadsMonitor;
        default:
            return LiveProfiling::startupMonitor;
        }
    }
};

RawMonitorBackend rawMonitorBackend;

void JNICALL comThreadCallback(jvmtiEnv *, JNIEnv *env, void *)
{
    LiveProfiling::liveProfilingSession->runCommunicator(env);
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
    AGENT_ASSERT(m != nullptr, name);
    return m;
}

jfieldID staticField(JNIEnv *env, jclass cls, const char *name, const char *signature)
{
    jfieldID f = env->GetStaticFieldID(cls, name, signature);
    if (f == nullptr)
        env->ExceptionClear();
    AGENT_ASSERT(f != nullptr, name);
    return f;
}

} // namespace

LiveProfilingSession *LiveProfiling::liveProfilingSession = nullptr;
JavaVM *LiveProfiling::vm = nullptr;
jvmtiEnv *LiveProfiling::jvmti = nullptr;
volatile bool LiveProfiling::nowait = false;
volatile bool LiveProfiling::offline = false;
volatile bool LiveProfiling::jniInterception = false;
volatile bool LiveProfiling::disableThreadProfiling = false;
volatile bool LiveProfiling::threadProfiling = false;
volatile bool LiveProfiling::monitorProfiling = false;
volatile bool LiveProfiling::vmTelemetry = false;
volatile bool LiveProfiling::configAtStartup = true;
volatile bool LiveProfiling::javaCommThreadShouldEnter = false;
volatile bool LiveProfiling::waitsForDisconnect = false;
volatile bool LiveProfiling::shouldWakeup = false;
volatile bool LiveProfiling::dying = false;
volatile bool LiveProfiling::shuttingDown = false;
volatile bool LiveProfiling::jvmti11 = false;
volatile bool LiveProfiling::ibmVm = false;
volatile bool LiveProfiling::jrockitVm = false;
long long LiveProfiling::startTime = 0;
std::string LiveProfiling::s_libraryLocation;
std::string LiveProfiling::scriptDirName;
std::string LiveProfiling::_agentFileName;
jrawMonitorID LiveProfiling::startupMonitor = nullptr;
jrawMonitorID LiveProfiling::heapMonitor = nullptr;
jrawMonitorID LiveProfiling::classMonitor = nullptr;
jrawMonitorID LiveProfiling::threadMonitor = nullptr;
jrawMonitorID LiveProfiling::sleepMonitor = nullptr;
jrawMonitorID LiveProfiling::deadThreadsMonitor = nullptr;
jrawMonitorID LiveProfiling::snapshotMonitor = nullptr;
MonitorSet LiveProfiling::monitors(&rawMonitorBackend);
jclass LiveProfiling::agentClass = nullptr;
jclass LiveProfiling::controllerClass = nullptr;
jclass LiveProfiling::triggerManagerClass = nullptr;
jclass LiveProfiling::instrumentationCalleeClass = nullptr;
jmethodID LiveProfiling::agentInit = nullptr;
jmethodID LiveProfiling::agentGetAvailablePermGen = nullptr;
jfieldID LiveProfiling::agentVmIdentifier = nullptr;
jmethodID LiveProfiling::controllerEnableTriggers = nullptr;
jmethodID LiveProfiling::controllerEnableTriggerGroup = nullptr;
jmethodID LiveProfiling::agentTriggerHprofDump = nullptr;
jmethodID LiveProfiling::agentRegisterConnection = nullptr;
jfieldID LiveProfiling::triggerManagerGlobalEnabled = nullptr;
volatile bool LiveProfiling::frontendWasConnected = false;

void LiveProfiling::initializeInterface(JavaVM *javaVm)
{
    vm = javaVm;
    void *env = nullptr;
    jint result = javaVm->GetEnv(&env, JVMTI_VERSION_1_1_REQUEST);
    if (result != JNI_OK)
        result = javaVm->GetEnv(&env, JVMTI_VERSION_1_0_REQUEST);
    if (result != JNI_OK || env == nullptr) {
        MessageUtil::message("The Java Virtual Machine Tool Interface (JVMTI) is not present. Exiting.");
        exit(1);
    }
    jvmti = static_cast<jvmtiEnv *>(env);
}

void LiveProfiling::checkFatalError(const char *name, int code)
{
    if (code == 0)
        return;
    MessageUtil::message("Could not initialize %s (code: %d). Aborting", name, code);
    exit(1);
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
    AGENT_ASSERT(threadClass != nullptr, "java/lang/Thread");
    jmethodID constructor = env->GetMethodID(threadClass, "<init>", "(Ljava/lang/String;)V");
    AGENT_ASSERT(constructor != nullptr, "Thread(String)");
    jstring threadName = env->NewStringUTF(name);
    jthread thread = env->NewObject(threadClass, constructor, threadName);
    AGENT_ASSERT(thread != nullptr, name);
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
        abort();
    }
    _agentFileName = path;
    FILE *file = fdopen(fd, "w+b");
    if (file == nullptr) {
        close(fd);
        MessageUtil::message("Could not create agent temp file %s.  Please check your TMP and TMPDIR environment variables.", path.c_str());
        abort();
    }
    bool written = BlobResource::writeFile(file);
    if (fclose(file) != 0)
        written = false;
    if (!written) {
        MessageUtil::message("Could not write agent temp file %s.  Please check your TMP and TMPDIR environment variables.", path.c_str());
        abort();
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
        abort();
    }
    scriptDirName = dir;
}

void LiveProfiling::lookupJavaClasses(JNIEnv *env)
{
    if (agentClass != nullptr)
        return;
    controllerClass = globalClass(env, "com/orvane/api/agent/Controller");
    AGENT_ASSERT(controllerClass != nullptr, "com/orvane/api/agent/Controller");
    controllerEnableTriggerGroup = staticMethod(env, controllerClass, "enableTriggerGroup", "(ZLjava/lang/String;)V");
    controllerEnableTriggers = staticMethod(env, controllerClass, "enableTriggers", "(Z)V");

    triggerManagerClass = globalClass(env, "com/orvane/agent/triggers/TriggerManager");
    AGENT_ASSERT(triggerManagerClass != nullptr, "com/orvane/agent/triggers/TriggerManager");
    triggerManagerGlobalEnabled = staticField(env, triggerManagerClass, "globalEnabled", "Z");

    jclass agent = globalClass(env, "com/orvane/agent/Agent");
    AGENT_ASSERT(agent != nullptr, "com/orvane/agent/Agent");
    agentInit = staticMethod(env, agent, "init", "()V");
    staticMethod(env, agent, "setAllocRecording", "(ZZ)Z");
    staticMethod(env, agent, "setCpuRecording", "(ZZ)Z");
    staticMethod(env, agent, "isCallTreeRecording", "()Z");
    staticMethod(env, agent, "updateConfig", "()V");
    agentGetAvailablePermGen = staticMethod(env, agent, "getAvailablePermGen", "()J");
    agentTriggerHprofDump = staticMethod(env, agent, "triggerHprofDump", "(Ljava/lang/String;ZZ)Ljava/lang/String;");
    agentRegisterConnection = staticMethod(env, agent, "registerConnectionAgentProperty", "(Z)V");
    agentVmIdentifier = staticField(env, agent, "vmIdentifier", "J");

    instrumentationCalleeClass = globalClass(env, "com/orvane/agent/InstrumentationCallee");
    AGENT_ASSERT(instrumentationCalleeClass != nullptr, "com/orvane/agent/InstrumentationCallee");
    staticMethod(env, instrumentationCalleeClass, "__orvane_annotationEnterMethod",
                 "(ILjava/lang/Class;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/Object;[Ljava/lang/Object;)V");
    agentClass = agent;
}

void LiveProfiling::initCommunication(JNIEnv *env)
{
    LiveProfilingSession *session = liveProfilingSession;
    if (offline) {
        session->initParameters(env);
        javaCommThreadShouldEnter = true;
        return;
    }
    if (nowait) {
        if (session->isConfigRead())
            session->initParameters(env);
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

jstring newString(JNIEnv *env, const char *text)
{
    jstring s = env->NewStringUTF(text != nullptr ? text : "");
    clearException(env);
    return s;
}

} // namespace

void LiveProfiling::enableTriggers(JNIEnv *env, bool on)
{
    lookupJavaClasses(env);
    env->CallStaticVoidMethod(controllerClass, controllerEnableTriggers, static_cast<jboolean>(on));
    clearException(env);
}

void LiveProfiling::enableTriggerGroup(bool on, const char *name, JNIEnv *env)
{
    lookupJavaClasses(env);
    jstring group = newString(env, name);
    env->CallStaticVoidMethod(controllerClass, controllerEnableTriggerGroup, static_cast<jboolean>(on), group);
    clearException(env);
    if (group != nullptr)
        env->DeleteLocalRef(group);
}

jstring LiveProfiling::doHprofDump(const char *path, bool live, JNIEnv *env, bool flag)
{
    lookupJavaClasses(env);
    jstring file = newString(env, path);
    jobject result = env->CallStaticObjectMethod(agentClass, agentTriggerHprofDump, file, static_cast<jboolean>(live),
                                                 static_cast<jboolean>(flag));
    clearException(env);
    if (file != nullptr)
        env->DeleteLocalRef(file);
    return static_cast<jstring>(result);
}

void LiveProfiling::registerConnection(JNIEnv *env, bool connected)
{
    lookupJavaClasses(env);
    env->CallStaticVoidMethod(agentClass, agentRegisterConnection, static_cast<jboolean>(connected));
    clearException(env);
}

bool LiveProfiling::triggersEnabled(JNIEnv *env)
{
    lookupJavaClasses(env);
    return env->GetStaticBooleanField(triggerManagerClass, triggerManagerGlobalEnabled) != JNI_FALSE;
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
    if (!_agentFileName.empty()) {
        unlink(_agentFileName.c_str());
        _agentFileName.clear();
    }
}

namespace {

void switchMonitorEvents(bool on)
{
    jvmtiEventMode mode = on ? JVMTI_ENABLE : JVMTI_DISABLE;
    const jvmtiEvent events[] = {JVMTI_EVENT_MONITOR_CONTENDED_ENTER, JVMTI_EVENT_MONITOR_CONTENDED_ENTERED, JVMTI_EVENT_MONITOR_WAITED,
                                 JVMTI_EVENT_MONITOR_WAIT};
    for (jvmtiEvent event : events) {
        jvmtiError error = LiveProfiling::jvmti->SetEventNotificationMode(mode, event, nullptr);
        if (error != JVMTI_ERROR_NONE)
            MessageUtil::message("Could not switch monitor event %d (%d).", static_cast<int>(event), static_cast<int>(error));
    }
}

} // namespace

void LiveProfiling::setMonitorProfiling(bool on, JNIEnv *)
{
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
    if (env->PushLocalFrame(10000) == 0) {
        jint count = 0;
        jclass *classes = nullptr;
        if (jvmti->GetLoadedClasses(&count, &classes) == JVMTI_ERROR_NONE) {
            for (jint i = 0; i < count; i++) {
                jboolean modifiable = JNI_FALSE;
                jboolean isInterface = JNI_FALSE;
                char *signature = nullptr;
                if (jvmti->IsModifiableClass(classes[i], &modifiable) != JVMTI_ERROR_NONE || !modifiable ||
                    jvmti->IsInterface(classes[i], &isInterface) != JVMTI_ERROR_NONE || isInterface ||
                    jvmti->GetClassSignature(classes[i], &signature, nullptr) != JVMTI_ERROR_NONE || signature == nullptr)
                    continue;
                std::string name(signature);
                jvmti->Deallocate(reinterpret_cast<unsigned char *>(signature));
                if (name.size() < 2 || name[0] != 'L')
                    continue;
                writer->writeByte(1);
                writer->writeString(name.substr(1, name.size() - 2).c_str());
            }
            jvmti->Deallocate(reinterpret_cast<unsigned char *>(classes));
        }
        env->PopLocalFrame(nullptr);
    }
    writer->writeByte(0);
    session->exitMonitor(IM_CLASS, false);
    session->getClassSession().writeLoadInfo(writer);
}
