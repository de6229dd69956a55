// A front end talking to tiagent in a real JVM: handshake, framing, broken
// requests and recovery, the session commands, reconnection and the exit
// commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "FrontendClient.h"
#include "JvmProcess.h"
#include "Registry.h"

using namespace jvmtest;

namespace {

const char *const JDK = "/usr/lib/jvm/java-17-openjdk-amd64";

// Encodes payloads the way the agent reads them.
class Payload {
public:
    Payload &byte(uint8_t b)
    {
        bytes.push_back(b);
        return *this;
    }
    Payload &u4(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(v >> shift));
        return *this;
    }
    Payload &raw(const std::string &s)
    {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Payload &string(const std::string &s)
    {
        bytes.push_back(static_cast<uint8_t>(s.size() >> 8));
        bytes.push_back(static_cast<uint8_t>(s.size()));
        return raw(s);
    }
    std::vector<uint8_t> bytes;
};

uint32_t u4At(const std::vector<uint8_t> &b, size_t at)
{
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

// Polls the VM state (command 59) while it says the VM runs (1), for at most
// five seconds; *status is the last state it said.
// `each`, when given, sees every reply, the last one included.
void pollWhileRunning(FrontendClient &client, Reply *reply, uint32_t *status, const std::function<void(const Reply &)> &each = nullptr)
{
    *status = 1;
    for (int attempt = 0; attempt < 100 && *status == 1; attempt++) {
        ASSERT_EQ(client.call(59, {}, reply), FrontendClient::OK) << client.lastError();
        *status = u4At(reply->body, 0);
        if (each)
            each(*reply);
        if (*status == 1)
            usleep(50000);
    }
}

class FrontendSessionTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!fileExists(std::string(JDK) + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << JDK;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        home = work / "home";
        mkdir(tmp.c_str(), 0700);
        mkdir(home.c_str(), 0700);
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    void startJvm(JvmProcess &jvm)
    {
        std::vector<std::string> c = {std::string(JDK) + "/bin/java", "-XX:-UsePerfData",
                                      std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) + ",address=127.0.0.1",
                                      "-cp", PROBE_CLASSES, "AgentProbe", "hold"};
        ASSERT_TRUE(jvm.start(c, tmp, home, canIsolateTmp()));
        ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    }

    void connect(FrontendClient &client)
    {
        ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
        ASSERT_EQ(client.handshake(), "");
    }

    void startMain(FrontendClient &client, JvmProcess &jvm)
    {
        Reply reply;
        ASSERT_EQ(client.call(1, Payload().byte(0).bytes, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 1}));
        ASSERT_TRUE(jvm.waitFor("main started", true, 30)) << jvm.err();
    }

    WorkDir work;
    std::string tmp;
    std::string home;
    PortReservation reservation; // held for the whole test
    int port = 0;
};

TEST_F(FrontendSessionTest, HandshakeFramingAndSessionCommands)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);

    // A stranger is refused and the next client accepted.
    FrontendClient stranger(60000);
    ASSERT_EQ(stranger.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
    EXPECT_NE(stranger.handshake(31, 1), "");
    ASSERT_TRUE(jvm.waitFor("Orvane> version of Orvane tried to connect.", false, 10)) << jvm.err();
    EXPECT_NE(jvm.err().find("Orvane> ERROR: another application or an unsupported\nOrvane> version of Orvane tried to connect.\n"),
              std::string::npos);

    FrontendClient client(60000);
    connect(client);
    EXPECT_EQ(client.agentVersion(), "36");

    Reply reply;
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.header.command, 2u);
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(client.idWidth(), 8u);

    // State before any configuration: state 1, the VM's name as the reply says it.
    ASSERT_EQ(client.call(44, {0}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.header.command, 44u);
    ASSERT_GE(reply.body.size(), 9u);
    EXPECT_EQ(u4At(reply.body, 0), 1u);
    size_t nameLength = (reply.body[7] << 8) | reply.body[8];
    std::string vmName(reply.body.begin() + 9, reply.body.begin() + 9 + nameLength);
    EXPECT_NE(vmName.find("VM"), std::string::npos) << vmName;
    EXPECT_EQ(jvm.out().find("main started"), std::string::npos) << "main waits for the configuration";

    ASSERT_EQ(client.call(99, {1, 2, 3}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.header.command, 99u);
    EXPECT_TRUE(reply.body.empty());

    startMain(client, jvm);

    struct Broken {
        const char *name;
        uint32_t sizes[3];
        bool badCrc;
        FrontendClient::Status status;
        const char *logLine;
    };
    const Broken cases[] = {
        {"three different sizes", {1, 2, 3}, false, FrontendClient::REFUSED_SIZE, "Orvane> comm error: 3 different command sizes 1 2 3\n"},
        {"above the limit", {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}, false, FrontendClient::REFUSED_SIZE,
         "Orvane> comm error: command size 2147483647 above the limit"},
        {"one byte above 64 MiB", {(64u << 20) + 1, (64u << 20) + 1, (64u << 20) + 1}, false, FrontendClient::REFUSED_SIZE,
         "Orvane> comm error: command size 67108865 above the limit of 67108864\n"},
        {"bad crc", {1, 1, 1}, true, FrontendClient::REFUSED_CRC, "Orvane> comm error: crcs don't match 305419896 "},
    };
    for (const Broken &c : cases) {
        SCOPED_TRACE(c.name);
        Request request;
        request.command = 44;
        request.requestId = 77;
        request.payload = {0};
        request.overrideSizes = true;
        std::copy(c.sizes, c.sizes + 3, request.sizes);
        request.overrideCrc = c.badCrc;
        request.crc = 0x12345678;
        EXPECT_EQ(client.request(request, &reply), c.status) << client.lastError();
        EXPECT_NE(jvm.err().find(c.logLine), std::string::npos) << jvm.err();
        // After the resynchronisation pattern the stream is in step again.
        ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_EQ(reply.header.command, 2u);
    }
    EXPECT_NE(jvm.err().find("Orvane> trying to recover\n"), std::string::npos);

    // Recovery counts every zero byte since it began, whatever lies between
    // them, and ends at a byte 1 after more than 900 of them.
    auto zeros = [](size_t n, std::initializer_list<uint8_t> then) {
        std::vector<uint8_t> bytes(n, 0);
        bytes.insert(bytes.end(), then);
        return bytes;
    };
    auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct {
        const char *name;
        std::vector<uint8_t> pattern;
    } patterns[] = {
        {"zeros with another byte between", join(zeros(450, {7}), zeros(451, {1}))},
        {"a byte 1 after too few zeros", join(zeros(500, {1}), zeros(401, {1}))},
        {"900 zeros are not enough", zeros(900, {1, 0, 1})},
    };
    client.setAutoResync(false);
    for (const auto &p : patterns) {
        SCOPED_TRACE(p.name);
        Request request;
        request.command = 44;
        request.requestId = 79;
        request.overrideSizes = true;
        request.sizes[0] = 1;
        request.sizes[1] = 2;
        request.sizes[2] = 3;
        // Refused at its sizes: recovery begins right after them.
        ASSERT_EQ(client.request(request, &reply), FrontendClient::REFUSED_SIZE) << client.lastError();
        ASSERT_EQ(client.sendRaw(p.pattern.data(), p.pattern.size()), "");
        ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
        EXPECT_EQ(reply.header.command, 2u);
    }
    client.setAutoResync(true);

    // A payload of exactly 64 MiB is taken (an unknown command: an empty reply).
    ASSERT_EQ(client.call(99, std::vector<uint8_t>(64u << 20, 0x5A), &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.header.command, 99u);
    EXPECT_TRUE(reply.body.empty());

    // Two sizes out of three agree: the request runs.
    Request twoOfThree;
    twoOfThree.command = 44;
    twoOfThree.requestId = 78;
    twoOfThree.payload = {0};
    twoOfThree.overrideSizes = true;
    twoOfThree.sizes[0] = 1;
    twoOfThree.sizes[1] = 9;
    twoOfThree.sizes[2] = 1;
    ASSERT_EQ(client.request(twoOfThree, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.header.requestId, 78u);

    // A front end that goes away leaves the agent waiting for the next one.
    client.close();
    ASSERT_TRUE(jvm.waitFor("Orvane> Disconnected. Waiting for reconnection.", false, 10)) << jvm.err();
    FrontendClient again(60000);
    connect(again);
    ASSERT_EQ(again.call(44, {0}, &reply), FrontendClient::OK) << again.lastError();
    EXPECT_EQ(u4At(reply.body, 0), 1u);

    // Command 46 ends the VM with status 0.
    again.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_NE(jvm.err().find("Orvane> Killing process"), std::string::npos) << jvm.err();
}

TEST_F(FrontendSessionTest, InterruptEndsTheJvmLikeControlC)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);
    FrontendClient client(60000);
    connect(client);
    startMain(client, jvm);
    Reply reply;
    client.call(48, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 128 + SIGINT) << jvm.err();
}

TEST_F(FrontendSessionTest, AnAttachedAgentServesTheFrontEndFromItsJavaThread)
{
    if (!canIsolateTmp())
        GTEST_SKIP() << NOT_ROOT_PRIVATE_TMP << " to attach";
    JvmProcess jvm(work.path, "jvm");
    ASSERT_TRUE(jvm.start({std::string(JDK) + "/bin/java", "-XX:-UsePerfData", "-cp", PROBE_CLASSES, "AgentProbe", "wait-for-attach", "hold"},
                          tmp, home, true));
    ASSERT_TRUE(jvm.waitFor("main started", true, 60));
    std::string pid = std::to_string(jvm.getPid());
    JvmProcess jcmd(work.path, "jcmd");
    ASSERT_TRUE(jcmd.start({"nsenter", "--target", pid, "--mount", "--", std::string(JDK) + "/bin/jcmd", "-J-XX:-UsePerfData", pid,
                            "JVMTI.agent_load", "\"" + std::string(TIAGENT_PATH) + "\"", "\"port=" + std::to_string(port) + ",address=127.0.0.1\""},
                           tmp, home, false));
    ASSERT_TRUE(jcmd.waitExit(60));
    EXPECT_EQ(jcmd.exitCode(), 0) << jcmd.out() << jcmd.err();
    ASSERT_TRUE(jvm.waitFor("holding", true, 60)) << jvm.err();

    // An attached agent waits for no front end: its Java thread listens once it runs.
    for (int i = 0; i < 200 && !canConnect(port); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FrontendClient client(60000);
    connect(client);
    Reply reply;
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(client.call(44, {0}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GE(reply.body.size(), 4u);
    EXPECT_EQ(u4At(reply.body, 0), 1u);
    client.close();
    ASSERT_TRUE(jvm.waitFor("Orvane> Disconnected. Waiting for reconnection.", false, 10)) << jvm.err();

    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_NE(jvm.out().find("main done"), std::string::npos);
}

TEST_F(FrontendSessionTest, ConfigurationAndScriptsFromTheFrontEnd)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);
    FrontendClient client(60000);
    connect(client);

    const std::string xml = "<config><session id=\"7\" instrumentationType=\"1\" timeType=\"1\"/></config>";
    Payload p;
    p.byte(1).u4(7).u4(static_cast<uint32_t>(xml.size())).raw(xml).string("unused");
    p.u4(4);
    p.string("good.txt").u4(5).raw("hello");
    p.string("../escape.txt").u4(3).raw("bad");
    p.string("sub/dir.txt").u4(3).raw("bad");
    p.string("..").u4(0);
    Reply reply;
    ASSERT_EQ(client.call(1, p.bytes, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 1}));
    ASSERT_TRUE(jvm.waitFor("main started", true, 30)) << jvm.err();
    std::string err = jvm.err();
    EXPECT_NE(err.find("Orvane> Using dynamic instrumentation\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Orvane> Refusing script file name ../escape.txt.\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Orvane> Refusing script file name sub/dir.txt.\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Orvane> Refusing script file name ...\n"), std::string::npos) << err;

    // The kept document comes back as it was sent.
    ASSERT_EQ(client.call(45, {}, &reply), FrontendClient::OK) << client.lastError();
    Payload expected;
    expected.u4(7).u4(static_cast<uint32_t>(xml.size())).raw(xml);
    EXPECT_EQ(reply.body, expected.bytes);

    std::string scriptDir;
    for (const std::string &n : listDir(tmp)) {
        if (n.rfind("jscl", 0) == 0)
            scriptDir = tmp + "/" + n;
    }
    ASSERT_FALSE(scriptDir.empty()) << "a script directory in TMPDIR";
    EXPECT_EQ(listDir(scriptDir), std::vector<std::string>{"good.txt"});
    EXPECT_EQ(readFile(scriptDir + "/good.txt"), "hello");
    EXPECT_FALSE(fileExists(tmp + "/escape.txt"));
    client.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

TEST_F(FrontendSessionTest, ClassesAndMethodsGoOutOncePerFrontEnd)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);
    FrontendClient client(60000);
    connect(client);

    // Load information: before the first configuration only the VM version.
    Reply load;
    ASSERT_EQ(client.call(76, {}, &load), FrontendClient::OK) << client.lastError();
    ASSERT_GE(load.body.size(), 3u);
    size_t versionLength = (load.body[0] << 8) | load.body[1];
    ASSERT_EQ(load.body.size(), 2 + versionLength + 1);
    EXPECT_EQ(load.body.back(), 0);
    startMain(client, jvm);
    ASSERT_TRUE(jvm.waitFor("holding", true, 30)) << jvm.err();
    ASSERT_EQ(client.call(76, {}, &load), FrontendClient::OK) << client.lastError();
    size_t at = 2 + versionLength;
    ASSERT_GT(load.body.size(), at + 14);
    EXPECT_EQ(load.body[at], 1);
    EXPECT_EQ(load.body[at + 1], 0) << "not attached";
    EXPECT_EQ(load.body[at + 2], 0) << "not nowait";
    at += 6 + 8;
    std::vector<std::string> loaded;
    while (at < load.body.size() && load.body[at] == 1) {
        size_t n = (load.body[at + 1] << 8) | load.body[at + 2];
        loaded.emplace_back(load.body.begin() + static_cast<long>(at + 3), load.body.begin() + static_cast<long>(at + 3 + n));
        at += 3 + n;
    }
    EXPECT_NE(std::find(loaded.begin(), loaded.end(), "AgentProbe"), loaded.end());
    EXPECT_EQ(std::find(loaded.begin(), loaded.end(), "java/lang/Runnable"), loaded.end()) << "interfaces are not listed";
    EXPECT_EQ(load.body.size(), at + 2) << "the list ends with 0, then the class session's load information";

    // Thread.sleep(50) ran through the agent's wrapper of the native method:
    // never shorter than asked (a loaded machine may make it longer).
    size_t slept = jvm.out().find("slept ");
    ASSERT_NE(slept, std::string::npos) << jvm.out();
    long sleptMs = std::strtol(jvm.out().c_str() + slept + 6, nullptr, 10);
    EXPECT_GE(sleptMs, 50) << jvm.out();
    EXPECT_LT(sleptMs, 5000) << jvm.out();

    Registry registry;
    std::vector<MethodInfo> methods;
    std::vector<ClassInfo> classes;
    Reply reply;
    ASSERT_EQ(client.call(60, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(registry.readGetClassesReply(reply.body, client.idWidth(), &methods, &classes));
    const ClassInfo *probe = nullptr;
    const ClassInfo *thread = nullptr;
    for (const ClassInfo &c : classes) {
        if (c.name == "AgentProbe")
            probe = registry.classOf(c.id);
        if (c.name == "java.lang.ProcessBuilder")
            thread = registry.classOf(c.id);
    }
    ASSERT_NE(probe, nullptr) << "the program's class was registered when it was prepared";
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(thread->hasFieldInfo);
    EXPECT_GE(thread->instanceFields, 4u) << "classes prepared while main runs carry their fields";
    ASSERT_NE(registry.method(probe->classMethod), nullptr);
    EXPECT_EQ(registry.method(probe->classMethod)->name, "AgentProbe");
    EXPECT_EQ(registry.method(probe->classMethod)->signature, "()V");
    ASSERT_NE(registry.method(probe->packageMethod), nullptr);
    EXPECT_EQ(registry.method(probe->packageMethod)->name, "[default package]");
    const ClassInfo *cumulation = registry.classOf(registry.method(probe->classMethod)->classId);
    ASSERT_NE(cumulation, nullptr);
    EXPECT_EQ(cumulation->name, "_orvane_cumul_class");
    EXPECT_EQ(cumulation->componentType, 80u);
    size_t firstCount = classes.size();
    EXPECT_GT(firstCount, 300u) << "the JDK's classes loaded before main";

    // A second call sends nothing that was sent already.
    ASSERT_EQ(client.call(60, {}, &reply), FrontendClient::OK) << client.lastError();
    size_t knownMethods = registry.methodCount();
    size_t knownClasses = registry.classCount();
    ASSERT_TRUE(registry.readGetClassesReply(reply.body, client.idWidth(), &methods, &classes));
    EXPECT_EQ(registry.methodCount(), knownMethods + methods.size()) << "every method sent again would be a repeat";
    EXPECT_EQ(registry.classCount(), knownClasses + classes.size());
    EXPECT_LT(classes.size(), 20u);

    // View filters: no reply data.
    ASSERT_EQ(client.call(34, Payload().u4(1).string("java.*").bytes, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_TRUE(reply.body.empty());

    // A new front end gets everything again.
    client.close();
    ASSERT_TRUE(jvm.waitFor("Orvane> Disconnected. Waiting for reconnection.", false, 10)) << jvm.err();
    FrontendClient again(60000);
    connect(again);
    Registry fresh;
    ASSERT_EQ(again.call(60, {}, &reply), FrontendClient::OK) << again.lastError();
    ASSERT_TRUE(fresh.readGetClassesReply(reply.body, again.idWidth(), &methods, &classes));
    EXPECT_GE(classes.size(), firstCount);
    EXPECT_NE(fresh.classOf(probe->id), nullptr);
    EXPECT_EQ(jvm.err().find("could not"), std::string::npos) << jvm.err();

    again.call(46, {}, &reply);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
}

TEST_F(FrontendSessionTest, VmStatePollCarriesNewDescriptionsAndLetsADyingVmGo)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);
    FrontendClient client(60000);
    connect(client);
    startMain(client, jvm);
    ASSERT_TRUE(jvm.waitFor("holding", true, 30)) << jvm.err();

    // Status 1, the switches and change flags (only the triggers' global
    // switch is on), no probe recording bytes, no auto-tuned methods, the
    // time and the VM start's wall-clock second, then the descriptions.
    const size_t descriptionsAt = 4 + 13 + 4 + 1 + 8 + 8;
    const std::vector<uint8_t> fixedPart = {0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Reply reply;
    ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), descriptionsAt);
    EXPECT_EQ(std::vector<uint8_t>(reply.body.begin(), reply.body.begin() + 22), fixedPart);
    long long wallClock = (static_cast<long long>(u4At(reply.body, 30)) << 32) | u4At(reply.body, 34);
    EXPECT_LE(std::llabs(wallClock - static_cast<long long>(time(nullptr))), 30) << "the VM started moments ago";

    Registry registry;
    std::vector<MethodInfo> methods;
    std::vector<ClassInfo> classes;
    std::vector<uint8_t> descriptions(reply.body.begin() + descriptionsAt, reply.body.end());
    ASSERT_TRUE(registry.readGetClassesReply(descriptions, client.idWidth(), &methods, &classes));
    EXPECT_GT(classes.size(), 300u);
    EXPECT_TRUE(std::any_of(classes.begin(), classes.end(), [](const ClassInfo &c) { return c.name == "AgentProbe"; }));

    // What the poll sent is not sent again, neither by the next poll nor by command 60.
    ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), descriptionsAt);
    descriptions.assign(reply.body.begin() + descriptionsAt, reply.body.end());
    ASSERT_TRUE(registry.readGetClassesReply(descriptions, client.idWidth(), &methods, &classes));
    EXPECT_LT(classes.size(), 20u);
    ASSERT_EQ(client.call(60, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_TRUE(registry.readGetClassesReply(reply.body, client.idWidth(), &methods, &classes));
    EXPECT_LT(classes.size(), 20u);

    // main ends: the VM waits for the connected front end, the next poll says
    // so and, the configuration not keeping the VM alive, lets it finish.
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("main done", true, 30)) << jvm.err();
    uint32_t status = 1;
    ASSERT_NO_FATAL_FAILURE(pollWhileRunning(client, &reply, &status));
    EXPECT_EQ(status, 2u);
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

// With nowait a front end that connects while the program runs and sets the
// session's parameters still gets the VM's last data: the VM's end waits for
// its poll, whose reply describes the classes loaded while the VM shuts down,
// and then goes on at once.
TEST_F(FrontendSessionTest, NowaitVmHandsAConnectedFrontEndItsLastData)
{
    JvmProcess jvm(work.path, "jvm");
    std::vector<std::string> c = {std::string(JDK) + "/bin/java", "-XX:-UsePerfData",
                                  std::string("-agentpath:") + TIAGENT_PATH + "=nowait,port=" + std::to_string(port) + ",address=127.0.0.1",
                                  "-cp", PROBE_CLASSES, "AgentProbe", "hold"};
    ASSERT_TRUE(jvm.start(c, tmp, home, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("holding", true, 60)) << jvm.err();
    ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 60)) << jvm.err();
    FrontendClient client(60000);
    connect(client);
    // The front end counts as connected once it has set the session's parameters.
    Reply reply;
    ASSERT_EQ(client.call(1, Payload().byte(0).bytes, &reply), FrontendClient::OK) << client.lastError();

    // The first poll takes the descriptions of everything loaded so far.
    const size_t descriptionsAt = 4 + 13 + 4 + 1 + 8 + 8;
    ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), descriptionsAt);
    EXPECT_EQ(u4At(reply.body, 0), 1u);
    Registry registry;
    std::vector<MethodInfo> methods;
    std::vector<ClassInfo> classes;
    ASSERT_TRUE(registry.readGetClassesReply(std::vector<uint8_t>(reply.body.begin() + descriptionsAt, reply.body.end()), client.idWidth(),
                                             &methods, &classes));
    auto named = [&classes](const char *name) {
        return std::any_of(classes.begin(), classes.end(), [name](const ClassInfo &k) { return k.name == name; });
    };
    EXPECT_TRUE(named("AgentProbe"));
    EXPECT_FALSE(named("java.lang.Shutdown")) << "loaded when the VM shuts down";

    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("main done", true, 30)) << jvm.err();
    // The classes the VM loads while it ends are described by the polls
    // from now on, the last one (which says the VM waits) included.
    std::vector<ClassInfo> described;
    uint32_t status = 1;
    ASSERT_NO_FATAL_FAILURE(pollWhileRunning(client, &reply, &status, [&](const Reply &r) {
        ASSERT_GT(r.body.size(), descriptionsAt);
        ASSERT_TRUE(registry.readGetClassesReply(std::vector<uint8_t>(r.body.begin() + descriptionsAt, r.body.end()), client.idWidth(),
                                                 &methods, &classes));
        described.insert(described.end(), classes.begin(), classes.end());
    })) << jvm.err();
    ASSERT_EQ(status, 2u) << "the dying VM waited for the front end";
    classes = described;
    EXPECT_TRUE(named("java.lang.Shutdown")) << "the polls until the VM's end describe what it loaded while ending";
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(jvm.err().find("Keeping VM alive"), std::string::npos) << jvm.err();
}

TEST_F(FrontendSessionTest, AConfigurationCanKeepTheDyingVmForTheFrontEnd)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);
    FrontendClient client(60000);
    connect(client);
    const std::string xml = "<config><session id=\"3\" instrumentationType=\"3\" vmCannotExit=\"true\"/></config>";
    Reply reply;
    ASSERT_EQ(client.call(1, Payload().byte(1).u4(3).u4(static_cast<uint32_t>(xml.size())).raw(xml).string("").u4(0).bytes, &reply),
              FrontendClient::OK)
        << client.lastError();
    ASSERT_TRUE(jvm.waitFor("holding", true, 30)) << jvm.err();
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitFor("main done", true, 30)) << jvm.err();

    // Every poll says that the VM waits; it keeps waiting and says why once.
    uint32_t status = 1;
    ASSERT_NO_FATAL_FAILURE(pollWhileRunning(client, &reply, &status));
    ASSERT_EQ(status, 2u);
    const std::string keeping = "Orvane> Keeping VM alive until frontend disconnects.\n";
    ASSERT_TRUE(jvm.waitFor(keeping, false, 30)) << jvm.err();
    // Once it waits, the VM still answers and has not ended.
    ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(u4At(reply.body, 0), 2u);
    EXPECT_TRUE(jvm.running()) << "the VM finished dying with the front end still there";
    std::string err = jvm.err();
    size_t first = err.find(keeping);
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find(keeping, first + keeping.size()), std::string::npos) << "said once";

    // The front end goes: the VM finishes dying.
    client.close();
    ASSERT_TRUE(jvm.waitExit(30)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
}

// The VM commands answer malformed and failing requests and keep the
// connection: a garbage collection (30); a heap dump (63) without its path,
// and one to a directory that is not there, with the VM's reason; the
// triggers' global switch (66), seen in the VM state poll; trigger groups (67)
// named in a request that is cut short.
TEST_F(FrontendSessionTest, VmCommandsAnswerMalformedAndFailingRequests)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);
    FrontendClient client(60000);
    connect(client);
    startMain(client, jvm);
    ASSERT_TRUE(jvm.waitFor("holding", true, 30)) << jvm.err();
    Reply reply;

    ASSERT_EQ(client.call(30, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.header.command, 30u);

    struct DumpCase {
        const char *name;
        std::vector<uint8_t> request;
        bool failed;
    } dumps[] = {
        {"no path", {}, false},
        {"a path cut short", {0, 9, 'x'}, false},
        {"a directory that is not there", Payload().string(work / "no/such/dir/heap.hprof").byte(1).bytes, true},
    };
    for (const DumpCase &c : dumps) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(client.call(63, c.request, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_GE(reply.body.size(), 3u);
        EXPECT_EQ(reply.body[0], c.failed ? 1 : 0);
        size_t length = (reply.body[1] << 8) | reply.body[2];
        EXPECT_EQ(reply.body.size(), 3 + length);
        if (c.failed) {
            EXPECT_GT(length, 0u) << "the VM's reason is passed on";
        } else {
            EXPECT_EQ(length, 0u);
        }
    }

    // Byte 8 of the state poll is the triggers' global switch.
    for (uint8_t on : {0, 1}) {
        SCOPED_TRACE(static_cast<int>(on));
        ASSERT_EQ(client.call(66, {on}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_GT(reply.body.size(), 8u);
        EXPECT_EQ(reply.body[8], on);
    }
    // A switch without its flag is refused and leaves the triggers on.
    ASSERT_EQ(client.call(66, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_EQ(client.call(59, {}, &reply), FrontendClient::OK) << client.lastError();
    ASSERT_GT(reply.body.size(), 8u);
    EXPECT_EQ(reply.body[8], 1);
    EXPECT_NE(jvm.err().find("Ignoring a triggers switch request without its flag."), std::string::npos) << jvm.err();

    // Three groups announced, one and a half sent: the agent stops at the cut.
    ASSERT_EQ(client.call(67, Payload().byte(1).u4(3).string("groupA").byte(0).byte(9).bytes, &reply), FrontendClient::OK)
        << client.lastError();
    ASSERT_EQ(client.call(2, {}, &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(jvm.err().find("Orvane> ERROR"), std::string::npos) << jvm.err();
}

// A configuration the agent cannot read ends the VM with status 255 and a
// message naming the problem, instead of profiling with half a session.
TEST_F(FrontendSessionTest, AnUnreadableConfigurationEndsTheVm)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm);
    FrontendClient client(60000);
    connect(client);
    const std::string xml = "<config><session id=\"3\" instrumentationType=";
    Reply reply;
    client.call(1, Payload().byte(1).u4(3).u4(static_cast<uint32_t>(xml.size())).raw(xml).string("").u4(0).bytes, &reply);
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 255) << jvm.err();
    EXPECT_EQ(jvm.out().find("main started"), std::string::npos) << "main never runs";
    // The parser's own words: where in the document it stopped.
    EXPECT_NE(jvm.err().find("Orvane> unclosed token at line 1"), std::string::npos) << jvm.err();
}

} // namespace
