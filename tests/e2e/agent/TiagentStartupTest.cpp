// tiagent loaded into real JVMs: start-up lines, the archive on the boot class
// path, options, ORVANE_JVMTI, offline and nowait, attach through jcmd.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        out.push_back(line);
    return out;
}

std::vector<std::string> agentLines(const std::string &text)
{
    std::vector<std::string> out;
    for (const std::string &l : lines(text)) {
        if (l.rfind("Orvane> ", 0) == 0)
            out.push_back(l);
    }
    return out;
}

std::vector<std::string> listDir(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// JVMs here get a private /tmp when we are root, so that nothing the VM or
// jcmd leaves there (perf data, attach sockets) escapes the test.
bool canIsolateTmp()
{
    static int answer = -1;
    // A private /tmp would also hide a build tree that lies below /tmp.
    bool buildBelowTmp = std::string(KVR_BINARY_DIR).rfind("/tmp/", 0) == 0;
    if (answer < 0)
        answer = !buildBelowTmp && geteuid() == 0 &&
                 std::system("unshare --mount --propagation private true >/dev/null 2>&1") == 0;
    return answer == 1;
}

// A working directory of the test below the build tree (the private /tmp of a
// JVM would hide one below /tmp), removed with everything in it.
class WorkDir {
public:
    WorkDir()
    {
        std::string pattern = std::string(KVR_BINARY_DIR) + "/tests/tiagent-e2e.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        char *made = mkdtemp(name.data());
        path = made != nullptr ? made : "";
    }
    ~WorkDir()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string operator/(const std::string &n) const { return path + "/" + n; }
    std::string path;
};

// One JVM (or jcmd) with its own TMPDIR and HOME, output kept in files.
class JvmProcess {
public:
    JvmProcess(const std::string &dir, const std::string &name) : outPath(dir + "/" + name + ".out"), errPath(dir + "/" + name + ".err") {}
    ~JvmProcess()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        closeInput();
    }

    bool start(const std::vector<std::string> &command, const std::string &tmpdir, const std::string &home, bool isolate)
    {
        std::vector<std::string> argv;
        if (isolate) {
            argv = {"unshare", "--mount", "--propagation", "private", "sh", "-c", "mount -t tmpfs -o mode=1777 tmpfs /tmp && exec \"$0\" \"$@\""};
        }
        argv.insert(argv.end(), command.begin(), command.end());
        int input[2];
        if (pipe(input) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            dup2(input[0], 0);
            close(input[0]);
            close(input[1]);
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            setenv("TMPDIR", tmpdir.c_str(), 1);
            setenv("HOME", home.c_str(), 1);
            unsetenv("ORVANE_JVMTI");
            unsetenv("JAVA_TOOL_OPTIONS");
            if (chdir(tmpdir.c_str()) != 0)
                _exit(126);
            std::vector<char *> args;
            for (std::string &a : argv)
                args.push_back(&a[0]);
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(input[0]);
        inputFd = input[1];
        return pid > 0;
    }

    // Waits for the process to end; false on time-out.
    bool waitExit(int seconds)
    {
        Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            int s;
            pid_t r = waitpid(pid, &s, WNOHANG);
            if (r == pid) {
                status = s;
                pid = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Waits until standard error or output holds text; false on time-out.
    bool waitFor(const std::string &text, bool inStdout, int seconds)
    {
        Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            if ((inStdout ? out() : err()).find(text) != std::string::npos)
                return true;
            if (pid > 0) {
                int s;
                if (waitpid(pid, &s, WNOHANG) == pid) {
                    status = s;
                    pid = -1;
                }
            }
            if (pid < 0)
                return (inStdout ? out() : err()).find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void closeInput()
    {
        if (inputFd >= 0)
            close(inputFd);
        inputFd = -1;
    }
    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }
    int exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
    int termSignal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }
    pid_t getPid() const { return pid; }

private:
    std::string outPath;
    std::string errPath;
    pid_t pid = -1;
    int inputFd = -1;
    int status = -1;
};

int freePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool canConnect(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

std::string jarCrc()
{
    std::string bytes = readFile(AGENT_JAR);
    std::stringstream s;
    s << std::hex << crc32(0L, reinterpret_cast<const Bytef *>(bytes.data()), static_cast<uInt>(bytes.size()));
    return "size " + std::to_string(bytes.size()) + " crc " + s.str();
}

const std::vector<std::string> startLines = {
    "Orvane> Protocol version 36",
    "Orvane> Using JVMTI",
    "Orvane> JVMTI version 1.1 detected.",
    "Orvane> 64-bit library",
};
const std::vector<std::string> eventLines = {
    "Orvane> Instrumenting native methods.",
    "Orvane> Can retransform classes.",
    "Orvane> Can retransform any class.",
    "Orvane> Native library initialized",
    "Orvane> VM initialized",
};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class TiagentStartupTest : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        jdk = std::string("/usr/lib/jvm/") + GetParam();
        if (!fileExists(jdk + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << jdk;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        home = work / "home";
        mkdir(tmp.c_str(), 0700);
        mkdir(home.c_str(), 0700);
    }

    std::vector<std::string> java(const std::string &options, const std::string &arg = "")
    {
        std::vector<std::string> c = {jdk + "/bin/java", "-XX:-UsePerfData", "-Xshare:auto",
                                      std::string("-agentpath:") + TIAGENT_PATH + (options.empty() ? "" : "=" + options), "-cp",
                                      PROBE_CLASSES, "AgentProbe"};
        if (!arg.empty())
            c.push_back(arg);
        return c;
    }

    void startJvm(JvmProcess &p, const std::string &options, const std::string &arg = "")
    {
        ASSERT_TRUE(p.start(java(options, arg), tmp, home, canIsolateTmp()));
    }

    std::vector<std::string> jagFiles()
    {
        std::vector<std::string> found;
        for (const std::string &n : listDir(tmp)) {
            if (n.rfind("jag", 0) == 0)
                found.push_back(n);
        }
        return found;
    }

    std::string jdk;
    WorkDir work;
    std::string tmp;
    std::string home;
};

TEST_P(TiagentStartupTest, NowaitRunsMainAtOnceWithArchiveOnBootClassPath)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm, "nowait");
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(agentLines(jvm.err()),
              concat(concat(startLines, {"Orvane> Don't wait for frontend to connect.", "Orvane> Starting up without initial configuration."}),
                     eventLines));
    std::string out = jvm.out();
    EXPECT_NE(out.find("main started"), std::string::npos);
    EXPECT_NE(out.find("agent loader: null"), std::string::npos) << "loaded by the bootstrap loader\n" << out;
    EXPECT_NE(out.find("archive: jag"), std::string::npos) << out;
    EXPECT_NE(out.find(jarCrc() + " mode rw-------"), std::string::npos) << "the archive, byte for byte, private\n" << out;
    EXPECT_NE(out.find("child ORVANE_JVMTI=true"), std::string::npos) << out;
    EXPECT_TRUE(jagFiles().empty()) << "the archive is removed when the VM ends";
}

TEST_P(TiagentStartupTest, WaitsForTheFrontEndBeforeMain)
{
    int port = freePort();
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm, "port=" + std::to_string(port) + ",address=127.0.0.1");
    ASSERT_TRUE(jvm.waitFor("Orvane> Using address 127.0.0.1.", false, 60)) << jvm.err();
    EXPECT_EQ(agentLines(jvm.err()),
              concat(concat(startLines, eventLines),
                     {"Orvane> Waiting for a connection from the Orvane GUI ...", "Orvane> Using address 127.0.0.1."}));
    EXPECT_EQ(jagFiles().size(), 1u);
    EXPECT_TRUE(canConnect(port)) << "the agent listens on the port";
    EXPECT_FALSE(jvm.waitFor("main started", true, 1)) << "main is held until a front end has configured the session";
    EXPECT_TRUE(jvm.getPid() > 0);

    if (canIsolateTmp()) {
        JvmProcess jcmd(work.path, "jcmd");
        ASSERT_TRUE(jcmd.start({"nsenter", "--target", std::to_string(jvm.getPid()), "--mount", "--", jdk + "/bin/jcmd",
                                "-J-XX:-UsePerfData", std::to_string(jvm.getPid()), "Thread.print"},
                               tmp, home, false));
        ASSERT_TRUE(jcmd.waitExit(60));
        std::string dump = jcmd.out();
        size_t at = dump.find("\"_orvane_native_comm\"");
        ASSERT_NE(at, std::string::npos) << dump << jcmd.err();
        std::string line = dump.substr(at, dump.find('\n', at) - at);
        EXPECT_NE(line.find(" prio=5 "), std::string::npos) << line;
        EXPECT_NE(line.find("daemon"), std::string::npos) << line;
    }
}

TEST_P(TiagentStartupTest, OfflineWithConfigurationFromHome)
{
    mkdir((home + "/.orvane7").c_str(), 0700);
    std::ofstream(home + "/.orvane7/config.xml") << "<config><session id=\"3\"/></config>\n";
    int port = freePort();
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm, "offline,id=3,port=" + std::to_string(port), "hold");
    ASSERT_TRUE(jvm.waitFor("holding", true, 60)) << jvm.err();
    EXPECT_FALSE(canConnect(port)) << "offline mode opens no socket";
    jvm.closeInput();
    ASSERT_TRUE(jvm.waitExit(60));
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(agentLines(jvm.err()),
              concat(concat(startLines, {"Orvane> Offline profiling mode.", "Orvane> Using config file " + home + "/.orvane7/config.xml (id: 3)"}),
                     concat(eventLines, {"Orvane> Using sampling (5 ms)", "Orvane> Time measurement: elapsed time", "Orvane> CPU profiling enabled"})));
    EXPECT_NE(jvm.out().find("main done"), std::string::npos);
}

TEST_P(TiagentStartupTest, MissingRequiredConfigurationEndsTheProcess)
{
    struct Case {
        const char *options;
        std::vector<std::string> expect;
    };
    const std::vector<std::string> hint = {
        "Orvane> If you are running Orvane's frontend on a different",
        "Orvane> machine you have to copy the file config.xml to this",
        "Orvane> computer. The file is located in $HOME/.orvane7 or",
        "Orvane> in C:\\Documents and Settings\\[username]\\.orvane7.",
    };
    const Case cases[] = {
        {"nowait,offline", concat({"Orvane> Don't wait for frontend to connect.", "Orvane> Offline profiling mode.",
                                   "Orvane> Could not locate the config file.", "Orvane> Please specify config=[config filename]."},
                                  hint)},
        {"offline,config=/nonexistent/config.xml",
         concat({"Orvane> Offline profiling mode.", "Orvane> Please specify id=[config id]"}, hint)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        JvmProcess jvm(work.path, "jvm");
        startJvm(jvm, c.options);
        ASSERT_TRUE(jvm.waitExit(60));
        EXPECT_EQ(jvm.exitCode(), 255);
        EXPECT_EQ(agentLines(jvm.err()), concat(startLines, c.expect));
        EXPECT_EQ(jvm.out().find("main started"), std::string::npos);
    }
}

TEST_P(TiagentStartupTest, OptionsLogTheirLinesAndBadOnesOneMessage)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm, "nowait,frobnicate,stack=64,samplingstack=32,fullinstr,port=99999,strict-method-stats");
    ASSERT_TRUE(jvm.waitExit(60));
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    EXPECT_EQ(agentLines(jvm.err()),
              concat(concat(startLines, {"Orvane> Don't wait for frontend to connect.", "Orvane> Unknown parameter frobnicate, ignored.",
                                         "Orvane> Setting stack size to 64.", "Orvane> Setting sampling stack size to 32.",
                                         "Orvane> Remote profiling has been changed.", "Orvane> The parameter 'fullinstr' will be ignored.",
                                         "Orvane> Please set the parameter in the frontend.", "Orvane> Strict method statistics.",
                                         "Orvane> Starting up without initial configuration."}),
                     eventLines));
}

TEST_P(TiagentStartupTest, MonitorEditionAborts)
{
    JvmProcess jvm(work.path, "jvm");
    startJvm(jvm, "monitor");
    ASSERT_TRUE(jvm.waitExit(60));
    EXPECT_EQ(jvm.termSignal(), SIGABRT) << jvm.err();
    EXPECT_EQ(agentLines(jvm.err()), concat(startLines, {"Orvane> Monitoring Edition no longer supported. Aborting"}));
}

TEST_P(TiagentStartupTest, AttachLoadsIntoRunningVmWithNowaitForced)
{
    if (!canIsolateTmp())
        GTEST_SKIP() << "attaching needs a private /tmp (root and unshare)";
    JvmProcess jvm(work.path, "jvm");
    ASSERT_TRUE(jvm.start({jdk + "/bin/java", "-XX:-UsePerfData", "-cp", PROBE_CLASSES, "AgentProbe", "wait-for-attach"}, tmp, home, true));
    ASSERT_TRUE(jvm.waitFor("main started", true, 60));
    JvmProcess jcmd(work.path, "jcmd");
    ASSERT_TRUE(jcmd.start({"nsenter", "--target", std::to_string(jvm.getPid()), "--mount", "--", jdk + "/bin/jcmd", "-J-XX:-UsePerfData",
                            std::to_string(jvm.getPid()), "JVMTI.agent_load", TIAGENT_PATH, "\"loc=/opt/orvane/lib,port=1\""},
                           tmp, home, false));
    ASSERT_TRUE(jcmd.waitExit(60));
    EXPECT_EQ(jcmd.exitCode(), 0) << jcmd.out() << jcmd.err();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(jvm.exitCode(), 0) << jvm.err();
    std::string err = jvm.err();
    EXPECT_EQ(agentLines(err), concat(startLines, {"Orvane> Instrumenting native methods.", "Orvane> Can retransform classes.",
                                                   "Orvane> Can retransform any class.", "Orvane> Native library initialized"}))
        << err;
    EXPECT_EQ(err.find("Waiting for a connection"), std::string::npos);
    std::string out = jvm.out();
    EXPECT_EQ(out.find("agent classes never appeared"), std::string::npos) << out;
    EXPECT_NE(out.find("agent loader: null"), std::string::npos) << out;
    EXPECT_NE(out.find(jarCrc() + " mode rw-------"), std::string::npos) << out;
    EXPECT_NE(out.find("attach location: /opt/orvane/lib"), std::string::npos) << out;
    EXPECT_NE(out.find("main done"), std::string::npos) << "the application keeps running";
    EXPECT_TRUE(jagFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(Jdks, TiagentStartupTest, testing::Values("java-17-openjdk-amd64", "temurin-25-jdk-amd64"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param).substr(0, std::string(info.param).find('-', 5)) == "java-17"
                                        ? std::string("OpenJdk17")
                                        : std::string("Temurin25");
                         });

} // namespace
