// The agent's Java-side command loop in a real JVM made inside the test
// process: offline (no socket) a Java thread serves the loop through
// Java_com_orvane_agent_Agent_enterCommunication and the test hands framed
// requests over through com.orvane.agent.java.JavaCommunication, getting each
// reply back whole, byte for byte; with nowait the same Java thread serves
// front ends on the socket; loaded into the running VM, the agent registers
// the classes that were loaded before it came.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <jni.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "../../support/TempDir.h"
#include "FrontendClient.h"
#include "JvmProcess.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes END = {0xBC, 0xC0, 0x89, 0x30, 0x77, 0x71, 0x17, 0xFA};
const long REQUEST_TIMEOUT_MS = 20000;

Bytes u4(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes str(const std::string &s)
{
    return Bytes{uint8_t(s.size() >> 8), uint8_t(s.size())} + Bytes(s.begin(), s.end());
}

uint32_t crcOf(const Bytes &payload)
{
    return static_cast<uint32_t>(crc32(0L, payload.data(), static_cast<uInt>(payload.size())));
}

// A framed request as the Java side hands it over: no acknowledgement bytes travel.
Bytes frame(uint32_t command, uint32_t id, const Bytes &payload, uint32_t s0, uint32_t s1, uint32_t s2, uint32_t crc)
{
    return u4(command) + u4(id) + u4(s0) + u4(s1) + u4(s2) + u4(crc) + payload;
}

Bytes frame(uint32_t command, uint32_t id, const Bytes &payload)
{
    uint32_t n = static_cast<uint32_t>(payload.size());
    return frame(command, id, payload, n, n, n, crcOf(payload));
}

// The reply header without its two clocks (VM start time, now): command and id.
Bytes headerWithoutClocks(const Bytes &reply)
{
    if (reply.size() < 24)
        return {};
    return Bytes(reply.begin() + 8, reply.begin() + 12) + Bytes(reply.begin() + 20, reply.begin() + 24);
}

Bytes body(const Bytes &reply)
{
    return reply.size() < 24 ? Bytes() : Bytes(reply.begin() + 24, reply.end());
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

typedef void(JNICALL *EnterCommunication)(JNIEnv *, jclass, jobject, jint);

const char *const OFFLINE_CONFIG = "<?xml version=\"1.0\"?>\n<config><sessions>"
                                   "<session id=\"7\" instrumentationType=\"3\" timeType=\"1\"/>"
                                   "</sessions></config>\n";

// A JVM made inside the test process (one per process: the JNI limit, so each
// suite runs on its own, as ctest runs it). The test plays the agent's Java
// side: one thread serves the native loop, the test's thread hands requests
// over.
class InProcessJvmTest : public testing::Test {
protected:
    // Makes the private directory (TMPDIR and HOME of the VM) with the
    // offline configuration file; false when a VM exists in this process.
    static bool prepare()
    {
        JavaVM *existing = nullptr;
        jsize count = 0;
        if (JNI_GetCreatedJavaVMs(&existing, 1, &count) == JNI_OK && count > 0) {
            otherVmInProcess = true;
            return false;
        }
        work = new TempDir();
        configPath = *work / "config.xml";
        std::ofstream(configPath) << OFFLINE_CONFIG;
        setenv("TMPDIR", work->path().c_str(), 1);
        setenv("HOME", work->path().c_str(), 1);
        // The agent logs to standard error: keep it in a file the tests can read.
        logPath = *work / "agent.log";
        savedStderr = dup(2);
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, 2);
        close(log);
        return true;
    }

    // The VM writes no performance file under the /tmp/hsperfdata_<user> every JVM of the machine shares.
    static void createVm(std::vector<std::string> vmOptions)
    {
        vmOptions.insert(vmOptions.begin(), "-XX:-UsePerfData");
        std::vector<JavaVMOption> options(vmOptions.size());
        for (size_t i = 0; i < vmOptions.size(); i++)
            options[i].optionString = const_cast<char *>(vmOptions[i].c_str());
        JavaVMInitArgs args;
        args.version = JNI_VERSION_1_8;
        args.nOptions = static_cast<jint>(options.size());
        args.options = options.data();
        args.ignoreUnrecognized = JNI_FALSE;
        void *env = nullptr;
        if (JNI_CreateJavaVM(&vm, &env, &args) != JNI_OK)
            vm = nullptr;
        mainEnv = static_cast<JNIEnv *>(env);
    }

    static std::string offlineOptions() { return "offline,config=" + configPath + ",id=7"; }

    static void TearDownTestSuite()
    {
        if (work == nullptr)
            return;
        fflush(stderr);
        dup2(savedStderr, 2);
        close(savedStderr);
        // The VM stays: it cannot be made again in this process, and it ends with it.
        delete work;
        work = nullptr;
    }

    void SetUp() override
    {
        if (otherVmInProcess)
            GTEST_SKIP() << "another suite's JVM runs in this process; run this suite on its own (ctest does)";
        ASSERT_NE(vm, nullptr) << "the JVM did not start:\n" << readFile(logPath);
        JNIEnv *env = mainEnv;
        communication = env->FindClass("com/orvane/agent/java/JavaCommunication");
        ASSERT_NE(communication, nullptr) << "the agent's archive is not on the boot class path\n" << readFile(logPath);
        requestMethod = env->GetStaticMethodID(communication, "request", "([BJ)[B");
        closeMethod = env->GetStaticMethodID(communication, "close", "()V");
        ASSERT_TRUE(requestMethod && closeMethod);
        startLoop();
    }

    // The serving thread plays the agent's Java thread: it enters the native
    // loop and says so when the loop is over.
    void startLoop()
    {
        JNIEnv *env = mainEnv;
        env->CallStaticVoidMethod(communication, env->GetStaticMethodID(communication, "reopen", "()V"));
        void *library = dlopen(TIAGENT_PATH, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(library, nullptr) << "tiagent is not loaded";
        auto enter = reinterpret_cast<EnterCommunication>(dlsym(library, "Java_com_orvane_agent_Agent_enterCommunication"));
        ASSERT_NE(enter, nullptr);
        loopReturned = false;
        loop = std::thread([this, enter] {
            JNIEnv *env = nullptr;
            vm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr);
            jclass objectClass = env->FindClass("java/lang/Object");
            jobject communicator = env->AllocObject(objectClass);
            enter(env, nullptr, communicator, 4711);
            jclass local = env->FindClass("com/orvane/agent/java/JavaCommunication");
            env->CallStaticVoidMethod(local, env->GetStaticMethodID(local, "loopEnded", "()V"));
            loopReturned = true;
            vm->DetachCurrentThread();
        });
    }

    void TearDown() override
    {
        if (!loop.joinable())
            return;
        mainEnv->CallStaticVoidMethod(communication, closeMethod);
        loop.join();
    }

    // Hands one request over; `answered` false when the channel refused it.
    Bytes request(const Bytes &frameBytes, bool *answered = nullptr)
    {
        JNIEnv *env = mainEnv;
        jbyteArray array = env->NewByteArray(static_cast<jsize>(frameBytes.size()));
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(frameBytes.size()), reinterpret_cast<const jbyte *>(frameBytes.data()));
        auto reply = static_cast<jbyteArray>(env->CallStaticObjectMethod(communication, requestMethod, array, jlong(REQUEST_TIMEOUT_MS)));
        EXPECT_FALSE(env->ExceptionCheck());
        env->ExceptionClear();
        env->DeleteLocalRef(array);
        if (answered != nullptr)
            *answered = reply != nullptr;
        if (reply == nullptr)
            return {};
        Bytes result(static_cast<size_t>(env->GetArrayLength(reply)));
        env->GetByteArrayRegion(reply, 0, static_cast<jsize>(result.size()), reinterpret_cast<jbyte *>(result.data()));
        env->DeleteLocalRef(reply);
        return result;
    }

    // Calls a static method without arguments that returns an object, and drops the result.
    void callStatic(const char *className, const char *method, const char *signature)
    {
        JNIEnv *env = mainEnv;
        jclass cls = env->FindClass(className);
        ASSERT_NE(cls, nullptr) << className;
        jmethodID m = env->GetStaticMethodID(cls, method, signature);
        ASSERT_NE(m, nullptr) << method;
        env->DeleteLocalRef(env->CallStaticObjectMethod(cls, m));
        ASSERT_FALSE(env->ExceptionCheck());
    }

    // The platform MBean server brings a few thousand classes along.
    void loadManyClasses()
    {
        callStatic("java/lang/management/ManagementFactory", "getPlatformMBeanServer", "()Ljavax/management/MBeanServer;");
    }

    std::string javaProperty(const char *name)
    {
        JNIEnv *env = mainEnv;
        jclass system = env->FindClass("java/lang/System");
        jmethodID get = env->GetStaticMethodID(system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
        auto value = static_cast<jstring>(env->CallStaticObjectMethod(system, get, env->NewStringUTF(name)));
        const char *chars = env->GetStringUTFChars(value, nullptr);
        std::string copy(chars);
        env->ReleaseStringUTFChars(value, chars);
        return copy;
    }

    static TempDir *work;
    static std::string configPath;
    static std::string logPath;
    static int savedStderr;
    static JavaVM *vm;
    static JNIEnv *mainEnv;
    static bool otherVmInProcess;

    jclass communication = nullptr;
    jmethodID requestMethod = nullptr;
    jmethodID closeMethod = nullptr;
    std::thread loop;
    volatile bool loopReturned = false;
};

TempDir *InProcessJvmTest::work = nullptr;
std::string InProcessJvmTest::configPath;
std::string InProcessJvmTest::logPath;
int InProcessJvmTest::savedStderr = -1;
JavaVM *InProcessJvmTest::vm = nullptr;
JNIEnv *InProcessJvmTest::mainEnv = nullptr;
bool InProcessJvmTest::otherVmInProcess = false;

// tiagent loaded at VM start, offline.
class JavaTransportTest : public InProcessJvmTest {
protected:
    static void SetUpTestSuite()
    {
        if (prepare())
            createVm({std::string("-agentpath:") + TIAGENT_PATH + "=" + offlineOptions()});
    }
};

TEST_F(JavaTransportTest, RequestsHandedOverGetTheirWholeReplyWithoutAcknowledgements)
{
    const Bytes idOne = {1, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char *name;
        Bytes request;
        Bytes header; // command and id
        Bytes body;   // after the header
    } cases[] = {
        {"id width: no sizes, no end marker", u4(2) + u4(11), u4(2) + u4(11), u4(8) + idOne},
        {"unknown command: header and end marker", frame(99, 12, {1, 2, 3}), u4(99) + u4(12), END},
        {"two sizes of three agree", frame(99, 13, {7}, 1, 9, 1, crcOf({7})), u4(99) + u4(13), END},
        {"view filter: no reply data", frame(34, 14, u4(1) + str("java.")), u4(34) + u4(14), END},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes reply = request(c.request);
        EXPECT_EQ(headerWithoutClocks(reply), c.header);
        EXPECT_EQ(body(reply), c.body);
    }

    // The state of the offline session: configured from the file, JVMTI 1.1.
    Bytes state = body(request(frame(44, 15, {0})));
    Bytes expected = u4(2) + Bytes{0, 1, 1} + str(javaProperty("java.vm.name"));
    ASSERT_GT(state.size(), expected.size());
    EXPECT_EQ(Bytes(state.begin(), state.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_EQ(Bytes(state.end() - 10, state.end()), (Bytes{0, 0} + END)); // no temporary file asked for

    // Command 60 goes out whole (far more than one 16 KiB packet) and only once.
    loadManyClasses();
    Bytes first = body(request(frame(60, 16, {})));
    ASSERT_GT(first.size(), 16384u);
    EXPECT_EQ(Bytes(first.end() - 9, first.end()), (Bytes{0} + END));
    EXPECT_NE(std::string(first.begin(), first.end()).find("java.lang.Object"), std::string::npos);
    Bytes second = body(request(frame(60, 17, {})));
    EXPECT_LT(second.size(), first.size() / 10);
    EXPECT_EQ(Bytes(second.end() - 9, second.end()), (Bytes{0} + END));

    // Command 23 ends the loop after its reply; the channel then refuses requests.
    EXPECT_EQ(headerWithoutClocks(request(frame(23, 18, {}))), u4(23) + u4(18));
    loop.join();
    EXPECT_TRUE(loopReturned);
    bool answered = true;
    request(u4(2) + u4(19), &answered);
    EXPECT_FALSE(answered);
}

TEST_F(JavaTransportTest, BrokenRequestsAreNotExecutedAndEndTheChannel)
{
    struct Case {
        const char *name;
        Bytes request;
        const char *logLine;
    } cases[] = {
        {"three different sizes", frame(44, 21, {0}, 1, 2, 3, crcOf({0})), "comm error: 3 different command sizes 1 2 3"},
        {"bad CRC", frame(44, 22, {0}, 1, 1, 1, crcOf({0}) ^ 1), "comm error: crcs don't match"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!loop.joinable())
            startLoop(); // a new loop: the broken request ended the last one
        EXPECT_EQ(headerWithoutClocks(request(u4(2) + u4(20))), u4(2) + u4(20));
        bool answered = false;
        Bytes reply = request(c.request, &answered);
        EXPECT_TRUE(answered);
        EXPECT_TRUE(reply.empty()) << reply.size() << " bytes answered";
        // Recovery runs into the end of the buffer: the connection is over.
        loop.join();
        EXPECT_TRUE(loopReturned);
        fflush(stderr);
        std::string log = readFile(logPath);
        EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
        EXPECT_NE(log.find("trying to recover"), std::string::npos);
    }
}

// tiagent loaded into the running VM (as on attach, through the VM's own
// diagnostic command, so that no attach socket is made), offline.
class AttachedAgentTest : public InProcessJvmTest {
protected:
    static void SetUpTestSuite()
    {
        if (prepare())
            createVm({});
    }

    void SetUp() override
    {
        if (otherVmInProcess)
            GTEST_SKIP() << "another suite's JVM runs in this process; run this suite on its own (ctest does)";
        ASSERT_NE(vm, nullptr);
        if (!agentLoaded) {
            // A class the agent cannot have seen being prepared.
            jclass early = mainEnv->FindClass("java/util/zip/Adler32");
            ASSERT_NE(early, nullptr);
            // The command splits its arguments at '=' and at spaces (the path may hold one) unless they are quoted.
            loadAgent("\"" + std::string(TIAGENT_PATH) + "\"", "\"" + offlineOptions() + "\"");
            agentLoaded = true;
        }
        InProcessJvmTest::SetUp();
    }

    void loadAgent(const std::string &path, const std::string &options)
    {
        JNIEnv *env = mainEnv;
        jclass factory = env->FindClass("java/lang/management/ManagementFactory");
        jobject server = env->CallStaticObjectMethod(
            factory, env->GetStaticMethodID(factory, "getPlatformMBeanServer", "()Ljavax/management/MBeanServer;"));
        jclass objectName = env->FindClass("javax/management/ObjectName");
        jobject name = env->NewObject(objectName, env->GetMethodID(objectName, "<init>", "(Ljava/lang/String;)V"),
                                      env->NewStringUTF("com.sun.management:type=DiagnosticCommand"));
        jclass stringClass = env->FindClass("java/lang/String");
        jobjectArray arguments = env->NewObjectArray(2, stringClass, nullptr);
        env->SetObjectArrayElement(arguments, 0, env->NewStringUTF(path.c_str()));
        env->SetObjectArrayElement(arguments, 1, env->NewStringUTF(options.c_str()));
        jobjectArray params = env->NewObjectArray(1, env->FindClass("java/lang/Object"), arguments);
        jobjectArray signature = env->NewObjectArray(1, stringClass, env->NewStringUTF("[Ljava.lang.String;"));
        jclass serverClass = env->FindClass("javax/management/MBeanServerConnection");
        jmethodID invoke = env->GetMethodID(serverClass, "invoke",
                                            "(Ljavax/management/ObjectName;Ljava/lang/String;[Ljava/lang/Object;[Ljava/lang/String;)Ljava/lang/Object;");
        env->CallObjectMethod(server, invoke, name, env->NewStringUTF("jvmtiAgentLoad"), params, signature);
        if (env->ExceptionCheck()) {
            env->ExceptionDescribe();
            env->ExceptionClear();
            FAIL() << "the agent could not be loaded\n" << readFile(logPath);
        }
    }

    static bool agentLoaded;
};

bool AttachedAgentTest::agentLoaded = false;

TEST_F(AttachedAgentTest, ClassesLoadedBeforeTheAgentAreRegistered)
{
    Bytes classes = body(request(frame(60, 1, {})));
    ASSERT_GT(classes.size(), END.size());
    EXPECT_EQ(Bytes(classes.end() - 8, classes.end()), END);
    std::string all(classes.begin(), classes.end());
    for (const char *name : {"java.util.zip.Adler32", "java.lang.Object", "java.lang.String", "[I"}) {
        SCOPED_TRACE(name);
        std::string record = std::string(1, '\0') + char(strlen(name)) + name;
        EXPECT_NE(all.find(record), std::string::npos);
    }
    std::string log = readFile(logPath);
    EXPECT_NE(log.find("Orvane> Native library initialized"), std::string::npos) << log;
    EXPECT_EQ(log.find("error iterating over heap"), std::string::npos) << log;
    EXPECT_EQ(log.find("error getting classes"), std::string::npos) << log;
}

// tiagent loaded at VM start with nowait: the agent's own Java thread enters
// the loop and serves front ends on the socket.
class NowaitJavaThreadTest : public InProcessJvmTest {
protected:
    static void SetUpTestSuite()
    {
        if (!prepare())
            return;
        // Held while the suite's VM lives.
        static jvmtest::PortReservation held;
        port = held.port;
        createVm({std::string("-agentpath:") + TIAGENT_PATH + "=nowait,port=" + std::to_string(port) + ",address=127.0.0.1"});
    }

    void SetUp() override
    {
        if (otherVmInProcess)
            GTEST_SKIP() << "another suite's JVM runs in this process; run this suite on its own (ctest does)";
        ASSERT_NE(vm, nullptr) << readFile(logPath);
    }

    void connect(FrontendClient &client)
    {
        std::string problem = "never tried";
        for (int attempt = 0; attempt < 100 && !problem.empty(); attempt++) {
            problem = client.connect("127.0.0.1", static_cast<uint16_t>(port));
            if (!problem.empty())
                usleep(50000);
        }
        ASSERT_EQ(problem, "");
        ASSERT_EQ(client.handshake(), "");
    }

    static int port;
};

int NowaitJavaThreadTest::port = 0;

TEST_F(NowaitJavaThreadTest, TheJavaThreadServesFrontEndsOnTheSocket)
{
    FrontendClient client(60000);
    connect(client);
    EXPECT_EQ(client.agentVersion(), "36");
    Reply reply;
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(client.call(44, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GE(reply.body.size(), 4u);
    EXPECT_EQ(Bytes(reply.body.begin(), reply.body.begin() + 4), u4(1)) << "no configuration yet";

    // The same thread waits for the next front end.
    client.close();
    FrontendClient again(60000);
    connect(again);
    ASSERT_EQ(again.call(2, {}, &reply), FrontendClient::OK) << again.lastError();
    EXPECT_EQ(reply.header.command, 2u);
    fflush(stderr);
    std::string log = readFile(logPath);
    EXPECT_NE(log.find("Orvane> Disconnected. Waiting for reconnection.\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Waiting for a connection from the Orvane GUI"), std::string::npos) << "nowait: start-up did not wait";
}

} // namespace
