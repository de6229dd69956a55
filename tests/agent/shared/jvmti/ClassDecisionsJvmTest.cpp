// Class decisions in a real JVM: the classes a program loads pass through the
// agent's class-file hook and get the method hooks the configuration asks
// for; a new configuration from the front end retransforms the loaded classes
// it affects, reports its progress, and the program goes on unchanged.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "../../../e2e/agent/JdkTest.h"
#include "../../../e2e/agent/JvmProcess.h"
#include "../../../support/JvmTools.h"
#include "FrontendClient.h"
#include "WireReader.h"

using namespace jvmtest;

namespace {

const char *const MAIN_SOURCE = R"(package app;
import java.io.File;
public class Main {
    public static void main(String[] args) throws Exception {
        System.out.println("phase1 " + Work.run(10));
        File go = new File(args[0]);
        for (int i = 0; i < 1200 && !go.exists(); i++)
            Thread.sleep(50);
        System.out.println("phase2 " + Work.run(10) + " " + app.lib.Util.twice(4));
        System.out.flush();
        System.in.read();
    }
}
)";
const char *const WORK_SOURCE = R"(package app;
class Work {
    static int run(int n) {
        int sum = 0;
        for (int i = 0; i < n; i++)
            sum += app.lib.Util.twice(i);
        return sum;
    }
}
)";
const char *const UTIL_SOURCE = R"(package app.lib;
public class Util {
    public static int twice(int x) {
        return 2 * x;
    }
}
)";

std::string sessionXml(bool lineNumbers)
{
    return std::string("<config><session id=\"5\" instrumentationType=\"1\" timeType=\"1\" componentDetection=\"true\" "
                       "utilConcurrentHandling=\"true\" lineNumbers=\"") +
           (lineNumbers ? "true" : "false") +
           "\"><filter type=\"exclusive\" name=\"java.\"/><filter type=\"exclusive\" name=\"javax.\"/>"
           "<filter type=\"exclusive\" name=\"sun.\"/><filter type=\"exclusive\" name=\"com.sun.\"/>"
           "<filter type=\"exclusive\" name=\"jdk.\"/></session></config>";
}

// The reply of command 1 after a configuration update.
struct UpdateReply {
    uint32_t classes = 0;
    std::vector<uint32_t> progress;
    int completed = -1;
    int end = -1;
};

bool readUpdateReply(const std::vector<uint8_t> &body, UpdateReply *out)
{
    WireReader in(body);
    out->classes = in.readU4();
    while (in.readByte() == 1)
        out->progress.push_back(in.readU4());
    out->completed = in.readByte();
    out->end = in.readByte();
    return !in.error() && in.remaining() == 0;
}

// How often the disassembled code of a class file calls `method`.
int callsIn(const std::string &jdk, const std::string &classFile, const std::string &method)
{
    std::string command = jvmtools::jdkToolCommand(jdk, "javap") + " -c -p '" + classFile + "' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    int calls = 0;
    char line[4096];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (text.find("invokestatic") != std::string::npos && text.find(method) != std::string::npos)
            calls++;
    }
    return pclose(pipe) == 0 ? calls : -1;
}

std::string readFileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ClassDecisionsJvmTest : public JdkTest {
protected:
    void SetUp() override
    {
        JdkTest::SetUp();
        if (!ready())
            return;
        std::string src = work / "src";
        mkdir(src.c_str(), 0700);
        std::ofstream(src + "/Main.java") << MAIN_SOURCE;
        std::ofstream(src + "/Work.java") << WORK_SOURCE;
        std::ofstream(src + "/Util.java") << UTIL_SOURCE;
        classes = work / "classes";
        std::string compile = std::string(JAVAC) + " -J-XX:-UsePerfData -nowarn -Xlint:-options --release 8 -d '" + classes + "' '" +
                              src + "/Main.java' '" + src + "/Work.java' '" + src + "/Util.java'";
        ASSERT_EQ(0, std::system(compile.c_str()));
        port = reservation.port;
        ASSERT_NE(port, 0);
    }

    std::string classes;
    PortReservation reservation; // held for the whole test
    int port = 0;
};

TEST_P(ClassDecisionsJvmTest, NewConfigurationRetransformsTheLoadedClasses)
{
    JvmProcess jvm(work.path, "program");
    std::string go = work / "go";
    std::vector<std::string> command = {jdk + "/bin/java",
                                        "-XX:-UsePerfData",
                                        "-Xverify:all",
                                        "-Xcheck:jni",
                                        "-Xlog:disable",
                                        "-Xlog:all=warning:stderr",
                                        std::string("-agentpath:") + TIAGENT_PATH + "=port=" + std::to_string(port) +
                                            ",address=127.0.0.1,save-instr-classes",
                                        "-cp",
                                        classes,
                                        "app.Main",
                                        go};
    ASSERT_TRUE(jvm.start(command, tmp, tmp, canIsolateTmp()));
    ASSERT_TRUE(jvm.waitFor("Waiting for a connection from the Orvane GUI ...", false, 60)) << jvm.err();
    FrontendClient client;
    ASSERT_EQ(client.connect("127.0.0.1", static_cast<uint16_t>(port)), "");
    ASSERT_EQ(client.handshake(), "");

    // The first configuration: nothing loaded needs rewriting yet.
    Reply reply;
    ASSERT_EQ(client.call(1, setParameters(sessionXml(false)), &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 1}), reply.body);
    ASSERT_TRUE(jvm.waitFor("phase1 90", true, 60)) << jvm.err();

    // The classes were rewritten as they loaded: hooks, no line numbers.
    std::vector<std::string> saveDirs;
    for (const std::string &name : listDir(tmp)) {
        if (name.rfind("ov_cls", 0) == 0)
            saveDirs.push_back(tmp + "/" + name);
    }
    ASSERT_EQ(1u, saveDirs.size()) << "the saved classes go to one private directory";
    std::string savedWork = saveDirs[0] + "/app.Work.class";
    EXPECT_EQ(1, callsIn(jdk, savedWork, "__orvane_enterMethod"));
    EXPECT_EQ(0, callsIn(jdk, savedWork, "__orvane_linenumber_hint"));
    EXPECT_NE(std::string::npos, readFileText(saveDirs[0] + "/app.Work.orig.class").find("Work.java"));

    // Line numbers on: every loaded class that is not filtered is made again.
    ASSERT_EQ(client.call(1, setParameters(sessionXml(true)), &reply), FrontendClient::OK) << client.lastError();
    UpdateReply update;
    ASSERT_TRUE(readUpdateReply(reply.body, &update));
    EXPECT_GE(update.classes, 3u); // app.Main, app.Work, app.lib.Util
    ASSERT_FALSE(update.progress.empty());
    EXPECT_EQ(update.classes, update.progress.back());
    EXPECT_EQ(1, update.completed);
    EXPECT_EQ(1, update.end);
    EXPECT_EQ(1, callsIn(jdk, savedWork, "__orvane_enterMethod"));
    EXPECT_GT(callsIn(jdk, savedWork, "__orvane_linenumber_hint"), 0);

    // Command 77 reports the settings in force.
    ASSERT_EQ(client.call(77, {}, &reply), FrontendClient::OK) << client.lastError();
    WireReader in(reply.body);
    in.readString(); // VM version
    ASSERT_EQ(1, in.readByte());
    in.skip(5 + 8);
    while (!in.error() && in.readByte() != 0)
        in.readString();
    EXPECT_EQ(1, in.readByte()); // settings follow
    EXPECT_EQ(1, in.readByte()); // line numbers
    EXPECT_EQ(1, in.readByte()); // component detection
    EXPECT_EQ(0, in.readByte()); // exclusive filters
    EXPECT_EQ(5u, in.readU4());
    EXPECT_EQ("java.", in.readString());

    // The same configuration again changes nothing.
    ASSERT_EQ(client.call(1, setParameters(sessionXml(true)), &reply), FrontendClient::OK) << client.lastError();
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 1}), reply.body);

    std::ofstream(go) << "go";
    ASSERT_TRUE(jvm.waitFor("phase2 90 8", true, 60)) << jvm.err();
    jvm.closeInput();
    client.close();
    ASSERT_TRUE(jvm.waitExit(60)) << jvm.err();
    EXPECT_EQ(0, jvm.exitCode()) << jvm.err();
    EXPECT_EQ("phase1 90\nphase2 90 8\n", jvm.out());
    EXPECT_EQ(std::string::npos, jvm.err().find("VerifyError")) << jvm.err();
    EXPECT_EQ(std::string::npos, jvm.err().find("ERROR")) << jvm.err();
    EXPECT_EQ(std::string::npos, jvm.err().find("WARNING: JNI")) << jvm.err();
    EXPECT_EQ(std::string::npos, jvm.err().find("FATAL ERROR")) << jvm.err();
}

INSTANTIATE_TEST_SUITE_P(Jdks, ClassDecisionsJvmTest, testing::ValuesIn(JDKS),
                         [](const testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             for (char &c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return name;
                         });

} // namespace
