// The host fixture of piagent's end-to-end tests: jvmpihost as a child
// process with its own TMPDIR and HOME, its output in files, and a front end
// that connects over loopback.
#ifndef KVR_TESTS_E2E_AGENT_PIAGENTHOST_H
#define KVR_TESTS_E2E_AGENT_PIAGENTHOST_H

#include <gtest/gtest.h>

#include "CallTreeView.h"
#include "FrontendClient.h"
#include "Registry.h"
#include "SessionRequest.h"
#include "../../support/LoopbackSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

[[maybe_unused]] std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

[[maybe_unused]] std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line))
        result.push_back(line);
    return result;
}

// The lines of `all` that start with `prefix`, in order.
[[maybe_unused]] std::vector<std::string> linesStartingWith(const std::string &all, const std::string &prefix)
{
    std::vector<std::string> result;
    for (const std::string &line : lines(all))
        if (line.compare(0, prefix.size(), prefix) == 0)
            result.push_back(line);
    return result;
}

// Command 1 with a configuration (id 3).
[[maybe_unused]] std::vector<uint8_t> configRequest(const std::string &xml) { return sessionRequest(xml, 3); }

// The nodes of `root` whose method is named `name`, depth first.
[[maybe_unused]] std::vector<const ViewNode *> nodesNamed(const ViewNode &root, const Registry &registry, const std::string &name)
{
    std::vector<const ViewNode *> all, found;
    CallTreeView::collect(root, &all);
    for (const ViewNode *node : all) {
        const MethodInfo *method = registry.method(node->method);
        if (method != nullptr && method->name == name)
            found.push_back(node);
    }
    return found;
}

class PiagentHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/piagentXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        work = pattern;
        home = work + "/home";
        mkdir(home.c_str(), 0700);
    }

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::string command = "rm -rf '" + work + "'";
        if (system(command.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << work;
    }

    // Starts the host with its own TMPDIR and HOME; stdout and stderr go to
    // files. The host runs a real JVM with the agent's jar on its class path.
    void start(const std::vector<std::string> &arguments)
    {
        std::vector<std::string> argv = {JVMPIHOST_PATH, agentLibrary, "--jvm", classPath};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string out = work + "/stdout", err = work + "/stderr";
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(o, 1);
            dup2(e, 2);
            setenv("TMPDIR", work.c_str(), 1);
            setenv("HOME", home.c_str(), 1);
            // Under the sanitizer build the host runs a JVM in its process:
            // the JVM's own SIGSEGV handling (implicit null checks) must
            // stay its own, and what the JVM keeps until exit is no leak.
            setenv("ASAN_OPTIONS", "handle_segv=0:allow_user_segv_handler=1:use_sigaltstack=0:detect_leaks=0:abort_on_error=1", 1);
            chdir(work.c_str());
            std::vector<char *> raw;
            for (std::string &arg : argv)
                raw.push_back(&arg[0]);
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
    }

    // The exit status (or 128 + signal) of the host, waiting at most 20 s.
    int finish()
    {
        for (int i = 0; i < 2000; ++i) {
            int status = 0;
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    bool waitForLine(const std::string &file, const std::string &line)
    {
        for (int i = 0; i < 2000; ++i) {
            for (const std::string &seen : lines(readFile(work + "/" + file)))
                if (seen == line)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string out() { return readFile(work + "/stdout"); }
    // Makes FILE in the host's working directory (what its await steps wait for).
    void touch(const std::string &file)
    {
        std::ofstream(work + "/" + file) << "";
    }
    // Connects the client to the agent's port and shakes hands.
    void connectFrontend(FrontendClient &client, int port)
    {
        std::string error;
        for (int i = 0; i < 2000; ++i) {
            error = client.connect("127.0.0.1", static_cast<uint16_t>(port));
            if (error.empty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(error, "");
        ASSERT_EQ(client.handshake(), "");
    }
    std::string err() { return readFile(work + "/stderr"); }
    // The options of a run that does not wait for a front end: this VM has no
    // full JVMTI 1.1, so nowait needs a configuration file, here one in the
    // host's directory with session 1 (the VM's method events), then `more`.
    std::string nowaitOptions(const std::string &more = "")
    {
        std::string path = work + "/session.xml";
        std::ofstream(path) << "<?xml version=\"1.0\"?><config><sessions><session id=\"1\" instrumentationType=\"2\"/>"
                               "</sessions></config>";
        return "nowait,config=" + path + ",id=1" + (more.empty() ? "" : "," + more);
    }
    // Waits until the agent listens, connects, sends command 1 (`request`)
    // and waits until the Java communication thread took the connection over.
    void connectAndHandOver(FrontendClient &client, int port, const std::vector<uint8_t> &request = {0})
    {
        ASSERT_TRUE(waitForLine("stderr", "Orvane> Waiting for a connection from the Orvane GUI ...")) << err();
        ASSERT_NO_FATAL_FAILURE(connectFrontend(client, port));
        Reply reply;
        ASSERT_EQ(client.call(1, request, &reply), FrontendClient::OK) << client.lastError();
        ASSERT_TRUE(waitForLine("stdout", "host: Java thread _orvane_java_comm enters the agent")) << out();
    }

    std::string work;
    std::string home;
    // The class path of the host's JVM.
    std::string classPath = AGENT_JAR;
    // The agent library the host loads.
    std::string agentLibrary = PIAGENT_PATH;
    pid_t pid = -1;
};

// The host with the Java communication thread and the VM started, a front
// end connected and command 1 answered.
class PiagentConnectedTest : public PiagentHostTest {
protected:
    // Starts the host with `steps` after the Java communication thread and
    // VM start-up, connects and sends command 1 (`config`: empty keeps the
    // current configuration).
    void startConnected(const std::vector<std::string> &steps, const std::string &config)
    {
        ASSERT_NE(held.port, 0);
        std::vector<std::string> arguments = {"--options", "port=" + std::to_string(held.port) + ",address=127.0.0.1", "java-comm",
                                              "init-done"};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        start(arguments);
        ASSERT_NO_FATAL_FAILURE(connectAndHandOver(client, held.port, config.empty() ? std::vector<uint8_t>{0} : configRequest(config)));
    }

    // The host's lines after `mark` that start with one of `prefixes`.
    std::vector<std::string> callsAfter(const std::string &mark, const std::vector<std::string> &prefixes)
    {
        std::vector<std::string> all = lines(out()), found;
        auto from = std::find(all.begin(), all.end(), mark);
        for (auto line = from; line != all.end(); ++line)
            for (const std::string &prefix : prefixes)
                if (line->compare(0, prefix.size(), prefix) == 0)
                    found.push_back(*line);
        return found;
    }

    loopbackSocket::PortReservation held;
    FrontendClient client{60000};
};

} // namespace

#endif
