#include "SessionConfig.h"

#include "../../../support/TempDir.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

#define ASSERT_OK(read)                                                                                                \
    do {                                                                                                               \
        SessionConfig::ReadError readError = (read);                                                                   \
        ASSERT_FALSE(readError.failed()) << readError.message;                                                        \
    } while (0)

std::string document(const std::string &sessions)
{
    return "<?xml version=\"1.0\"?>\n<config>\n" + sessions + "</config>\n";
}

SessionConfig::ReadError readText(SessionConfig &config, int id, const std::string &xml)
{
    return config.readFromText(id, xml);
}

struct BoolField {
    const char *name;
    bool SessionConfig::*field;
    bool fresh;
    bool absent;
};

const BoolField BOOL_FIELDS[] = {
    {"disableCPUProfiling", &SessionConfig::disableCPUProfiling, false, false},
    {"showSubclassMethods", &SessionConfig::showSubclassMethods, false, false},
    {"lineNumbers", &SessionConfig::lineNumbers, false, false},
    {"samplingPayloadCallStacks", &SessionConfig::samplingPayloadCallStacks, false, false},
    {"vmCannotExit", &SessionConfig::vmCannotExit, false, false},
    {"chronoHeap", &SessionConfig::chronoHeap, true, false},
    {"recordArrayAlloc", &SessionConfig::recordArrayAlloc, true, false},
    {"showSystemThreads", &SessionConfig::showSystemThreads, false, false},
    {"allUrls", &SessionConfig::allUrls, false, false},
    {"autoTuneInstrumentation", &SessionConfig::autoTuneInstrumentation, true, true},
    {"recordCPUOnStartup", &SessionConfig::recordCPUOnStartup, false, false},
    {"recordAllocOnStartup", &SessionConfig::recordAllocOnStartup, false, false},
    {"enableTriggersOnStartup", &SessionConfig::enableTriggersOnStartup, true, false},
    {"componentDetection", &SessionConfig::componentDetection, true, false},
    {"utilConcurrentHandling", &SessionConfig::utilConcurrentHandling, true, false},
};

struct IntField {
    const char *name;
    int SessionConfig::*field;
    int fresh;
    int absent;
};

const IntField INT_FIELDS[] = {
    {"timeType", &SessionConfig::timeType, 1, 0},
    {"instrumentationType", &SessionConfig::instrumentationType, 3, 0},
    {"samplingFrequency", &SessionConfig::samplingFrequency, 5, 5},
    {"autoTuneMinPerMille", &SessionConfig::autoTuneMinPerMille, 10, 10},
    {"autoTuneMaxAverage", &SessionConfig::autoTuneMaxAverage, 100, 100},
    {"exceptionalCap", &SessionConfig::exceptionalCap, 5, 5},
    {"exceptionalTimeType", &SessionConfig::exceptionalTimeType, 4, 4},
    {"allocTreeRecordingType", &SessionConfig::allocTreeRecordingType, 1, 1},
};

TEST(SessionConfigAttributes, FreshAbsentAndGiven)
{
    SessionConfig fresh;
    SessionConfig absent;
    ASSERT_OK(readText(absent, 4, document("<session id=\"4\"/>")));
    std::string attributes;
    for (const BoolField &f : BOOL_FIELDS)
        attributes += std::string(" ") + f.name + "=\"" + (f.absent ? "false" : "true") + "\"";
    for (size_t i = 0; i < sizeof INT_FIELDS / sizeof INT_FIELDS[0]; i++)
        attributes += std::string(" ") + INT_FIELDS[i].name + "=\"" + std::to_string(40 + i) + "\"";
    SessionConfig given;
    ASSERT_OK(readText(given, 4, document("<session id=\"4\"" + attributes + "/>")));

    for (const BoolField &f : BOOL_FIELDS) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(fresh.*f.field, f.fresh);
        EXPECT_EQ(absent.*f.field, f.absent);
        EXPECT_EQ(given.*f.field, !f.absent);
    }
    for (size_t i = 0; i < sizeof INT_FIELDS / sizeof INT_FIELDS[0]; i++) {
        const IntField &f = INT_FIELDS[i];
        SCOPED_TRACE(f.name);
        EXPECT_EQ(fresh.*f.field, f.fresh);
        EXPECT_EQ(absent.*f.field, f.absent);
        EXPECT_EQ(given.*f.field, int(40 + i));
    }
    EXPECT_TRUE(absent.sessionRead);
    EXPECT_FALSE(fresh.sessionRead);
}

TEST(SessionConfigAttributes, OnlyExactlyTrueIsTrueAndBadNumbersKeepTheDefault)
{
    SessionConfig config;
    ASSERT_OK(readText(config, 1,
                          document("<session id=\"1\" lineNumbers=\"TRUE\" allUrls=\"1\" vmCannotExit=\"true\" "
                                   "samplingFrequency=\"often\" exceptionalCap=\"-3\"/>")));
    EXPECT_FALSE(config.lineNumbers);
    EXPECT_FALSE(config.allUrls);
    EXPECT_TRUE(config.vmCannotExit);
    EXPECT_EQ(config.samplingFrequency, 5);
    EXPECT_EQ(config.exceptionalCap, -3);
    ASSERT_EQ(config.getMessages().size(), 1u);
    EXPECT_NE(config.getMessages()[0].find("samplingFrequency"), std::string::npos);
}

TEST(SessionConfigSessions, OnlyTheMatchingSessionCounts)
{
    const std::string xml = document("<session id=\"1\" timeType=\"7\"><filter name=\"one.\"/></session>\n"
                                     "<session id=\"2\" timeType=\"8\"><filter name=\"two.\"/></session>\n"
                                     "<filter name=\"outside.\"/>\n");
    SessionConfig config;
    ASSERT_OK(readText(config, 2, xml));
    EXPECT_EQ(config.timeType, 8);
    EXPECT_EQ(config.getFilterConfig().getFilters(), std::vector<std::string>{"two."});
}

TEST(SessionConfigSessions, MissingSessionAndAnyId)
{
    const std::string xml = document("<session id=\"1\"/><session/>");
    struct Case {
        const char *name;
        int id;
        const char *error;
        bool sessionRead;
    };
    const Case cases[] = {
        {"no such session", 5, "Could not find session with id: 5", false},
        {"any id accepts a document without a match", SessionConfig::ANY_ID, "", false},
        {"a session without id is -1", -1, "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SessionConfig config;
        SessionConfig::ReadError error = readText(config, c.id, xml);
        EXPECT_EQ(error.message, c.error);
        EXPECT_FALSE(error.showDocument);
        EXPECT_EQ(config.sessionRead, c.sessionRead);
    }
}

TEST(SessionConfigFilters, KindsTrimmingAndSuppression)
{
    struct Case {
        const char *name;
        std::string session;
        bool inclusive;
        std::vector<std::string> filters;
    };
    const Case cases[] = {
        {"first filter sets the kind",
         "<session id=\"1\"><filter type=\"inclusive\" name=\"com.x.\"/><filter name=\"a.b.\"/>"
         "<filter type=\"inclusive\" name=\"org.\"/></session>",
         true, {"com.x.", "-a.b.", "org."}},
        {"exclusive by default", "<session id=\"1\"><filter name=\"  a.b. \"/><filter type=\"whatever\" name=\"c\"/></session>",
         false, {"a.b.", "c"}},
        {"empty and blank names add nothing",
         "<session id=\"1\"><filter name=\"a.\"/><filter type=\"inclusive\" name=\"   \"/><filter/></session>", false,
         {"a."}},
        {"sampling without filters", "<session id=\"1\" instrumentationType=\"3\" samplingNoFilters=\"true\"><filter name=\"a.\"/></session>",
         false, {}},
        {"samplingNoFilters needs sampling",
         "<session id=\"1\" instrumentationType=\"1\" samplingNoFilters=\"true\"><filter name=\"a.\"/></session>", false,
         {"a."}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SessionConfig config;
        ASSERT_OK(readText(config, 1, document(c.session)));
        EXPECT_EQ(config.getFilterConfig().isFilterInclusive(), c.inclusive);
        EXPECT_EQ(config.getFilterConfig().getFilters(), c.filters);
    }
}

TEST(SessionConfigProbes, Switches)
{
    struct Case {
        const char *name;
        std::string probe;
        std::vector<int> on;
        const char *message;
    };
    const Case cases[] = {
        {"jdbc", "<probe name=\"builtin.JdbcProbe\" enabled=\"true\" type=\"99\"/>", {1}, ""},
        {"rmi", "<probe name=\"builtin.RmiProbe\" enabled=\"true\"/>", {32}, ""},
        {"ws", "<probe name=\"builtin.WsProbe\" enabled=\"true\"/>", {33}, ""},
        {"process", "<probe name=\"builtin.ProcessProbe\" enabled=\"true\"/>", {12}, ""},
        {"enabled TRUE stays off", "<probe name=\"builtin.JdbcProbe\" enabled=\"TRUE\"/>", {}, ""},
        {"enabled 1 stays off", "<probe name=\"builtin.JdbcProbe\" enabled=\"1\"/>", {}, ""},
        {"custom type is made positive", "<probe name=\"my.Probe\" enabled=\"true\" type=\"-40\"/>", {40}, ""},
        {"custom type without type is 0", "<probe name=\"my.Probe\" enabled=\"true\"/>", {0}, ""},
        {"type 127 is the last", "<probe name=\"my.Probe\" enabled=\"true\" type=\"127\"/>", {127}, ""},
        {"type 128 is too large", "<probe name=\"my.Probe\" enabled=\"true\" type=\"128\"/>", {},
         "Could not set annotation 128. Please raise MAX_ANNOTATION_TYPES"},
        {"persistence by name",
         "<probe name=\"builtin.PersistenceProbe\" enabled=\"true\" hibernate4=\"true\" openJpa21=\"true\"/>", {15, 17},
         ""},
        {"persistence by type",
         "<probe name=\"x\" enabled=\"true\" type=\"14\" hibernate3=\"true\" eclipseLink23=\"true\"/>", {14, 16}, ""},
        {"persistence with no provider", "<probe name=\"builtin.PersistenceProbe\" enabled=\"true\"/>", {}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SessionConfig config;
        ASSERT_OK(readText(config, 1, document("<session id=\"1\">" + c.probe + "</session>" + c.probe)));
        std::vector<int> on;
        for (int t = 0; t < SessionConfig::MAX_ANNOTATION_TYPES; t++)
            if (config.isProbeEnabled(t))
                on.push_back(t);
        EXPECT_EQ(on, c.on);
        if (*c.message) {
            ASSERT_EQ(config.getMessages().size(), 1u);
            EXPECT_EQ(config.getMessages()[0], c.message);
        } else {
            EXPECT_TRUE(config.getMessages().empty());
        }
    }
}

TEST(SessionConfigMethods, RegionsDecideTheList)
{
    SessionConfig config;
    ASSERT_OK(readText(config, 1, document(R"(
<session id="1">
  <methodInvocation><method className="a.Trigger" methodName="fire" signature="()V"/></methodInvocation>
  <customProbe><method className="a.Probe" methodName="*" signature="(I)V"/></customProbe>
  <exceptionalMethods><method className="a.Slow" methodName="run" signature="()V"/></exceptionalMethods>
  <ignoredMethods><method className="a.Noise" methodName="tick" signature="(J)V"/>
    <method className="a.Broken"/></ignoredMethods>
  <method className="a.Outside" methodName="x" signature="()V"/>
</session>
<ignoredMethods><method className="b.Other" methodName="y" signature="()V"/></ignoredMethods>
)")));
    EXPECT_EQ(config.probeMethods.size(), 2u);
    EXPECT_EQ(config.probeMethods.count(AnnotationMethodAndClass("a/Trigger", "fire", "()V")), 1u);
    EXPECT_EQ(config.probeMethods.count(AnnotationMethodAndClass("a.Probe", "*", "*")), 1u);
    EXPECT_EQ(config.exceptionalMethods.size(), 1u);
    EXPECT_EQ(config.exceptionalMethods.count(AnnotationMethodAndClass("a.Slow", "run", "()V")), 1u);
    EXPECT_EQ(config.ignoredMethods.size(), 1u);
    EXPECT_EQ(config.ignoredMethods.count(AnnotationMethodAndClass("a/Noise", "tick", "(J)V")), 1u);
    EXPECT_EQ(config.getMessages().size(), 1u); // the method without a name
}

TEST(AnnotationMethodAndClass, HashAndEquality)
{
    AnnotationMethodAndClass dotted("a.B", "m", "()V");
    AnnotationMethodAndClass slashed("a/B", "m", "()V");
    EXPECT_EQ(dotted.hashCode(), 0xBC47D9E9u);
    EXPECT_EQ(slashed.hashCode(), 0xBC47D9E9u);
    EXPECT_TRUE(dotted.equals(slashed));
    EXPECT_EQ(AnnotationMethodAndClass("com.x.Y", "run", "*").hashCode(), 0x88A32483u);
    EXPECT_FALSE(dotted.equals(AnnotationMethodAndClass("aB", "m", "()V")));
    EXPECT_FALSE(dotted.equals(AnnotationMethodAndClass("a.B", "m", "(I)V")));
    EXPECT_FALSE(dotted.equals(AnnotationMethodAndClass("a.C", "m", "()V")));
    EXPECT_FALSE(dotted.equals(AnnotationMethodAndClass("a.B", "n", "()V")));
}

TEST(SessionConfigCopy, CopiesSettingsAndFiltersButNoDocument)
{
    SessionConfig original;
    ASSERT_OK(readText(original, 1,
                          document("<session id=\"1\" timeType=\"2\"><filter type=\"inclusive\" name=\"a.\"/>"
                                   "<probe name=\"builtin.FileProbe\" enabled=\"true\"/>"
                                   "<ignoredMethods><method className=\"a.B\" methodName=\"c\" signature=\"()V\"/>"
                                   "</ignoredMethods></session>")));
    SessionConfig copy(original);
    EXPECT_EQ(copy.timeType, 2);
    EXPECT_TRUE(copy.getFilterConfig().isFilterInclusive());
    EXPECT_EQ(copy.getFilterConfig().getFilters(), std::vector<std::string>{"a."});
    EXPECT_NE(&copy.getFilterConfig(), &original.getFilterConfig());
    EXPECT_TRUE(copy.isProbeEnabled(10));
    EXPECT_EQ(copy.ignoredMethods.size(), 1u);
    EXPECT_EQ(copy.getConfigFileState(), nullptr);
    EXPECT_NE(original.getConfigFileState(), nullptr);
}

class SessionConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *old = getenv("TMPDIR");
        oldTmpDir = old ? old : "";
        hadTmpDir = old != nullptr;
        setenv("TMPDIR", tmp.path().c_str(), 1);
    }
    void TearDown() override
    {
        if (hadTmpDir)
            setenv("TMPDIR", oldTmpDir.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

    std::string writeFile(const std::string &content)
    {
        std::string path = dir / "config.xml";
        FILE *f = fopen(path.c_str(), "wb");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        return path;
    }

    // A document of exactly `size` bytes: the session, then a comment that fills it up.
    static std::string documentOfSize(size_t size, bool closed)
    {
        std::string head = "<?xml version=\"1.0\"?>\n<config><session id=\"3\" timeType=\"2\"><filter name=\"a.\"/></session>\n<!--";
        std::string tail = closed ? "-->\n</config>" : "-->\n<sess";
        std::string text = head + std::string(size - head.size() - tail.size(), 'x') + tail;
        return text;
    }

    std::vector<std::string> tempFiles()
    {
        std::vector<std::string> names;
        DIR *d = opendir(tmp.path().c_str());
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
        return names;
    }

    TempDir dir;
    TempDir tmp;
    std::string oldTmpDir;
    bool hadTmpDir = false;
};

TEST_F(SessionConfigFileTest, FileSizesAroundTheBlockSize)
{
    struct Case {
        const char *name;
        size_t size;
        bool closed;
        bool ok;
    };
    const Case cases[] = {
        {"one block, complete", 8192, true, true},
        {"one block, cut short", 8192, false, false},
        {"two blocks, cut short", 16384, false, false},
        {"block and a bit, cut short", 8200, false, false},
        {"less than a block, cut short", 8000, false, false},
        {"three blocks, complete", 24576, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = documentOfSize(c.size, c.closed);
        ASSERT_EQ(text.size(), c.size);
        SessionConfig config;
        SessionConfig::ReadError error = config.readFromFile(writeFile(text), 3);
        EXPECT_EQ(!error.failed(), c.ok) << error.message;
        if (c.ok) {
            EXPECT_EQ(config.timeType, 2);
            EXPECT_TRUE(config.applied);
            config.deleteTempFile();
        } else {
            EXPECT_NE(error.message.find(" at line "), std::string::npos) << error.message;
            EXPECT_FALSE(error.showDocument);
        }
        EXPECT_TRUE(tempFiles().empty());
    }
}

TEST_F(SessionConfigFileTest, KeepsAPrivateCopyAndSendsItBack)
{
    std::string text = document("<session id=\"3\"><filter name=\"a.\"/></session>");
    std::string path = writeFile(text);
    SessionConfig config;
    ASSERT_OK(config.readFromFile(path, 3));
    EXPECT_TRUE(config.applied);
    EXPECT_TRUE(config.sessionRead);

    std::vector<std::string> files = tempFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].compare(0, 3, "ovc"), 0) << files[0];
    struct stat st;
    ASSERT_EQ(stat((tmp / files[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const char *xml;
    const char *kept;
    int id;
    config.getXmlConfig(&xml, &kept, &id);
    EXPECT_EQ(xml, nullptr);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(std::string(kept), tmp / files[0]);
    EXPECT_EQ(id, 3);

    remove(path.c_str()); // the copy is what counts now
    std::string bytes;
    EXPECT_EQ(config.loadDocument(&bytes), "");
    EXPECT_EQ(bytes, text);

    config.deleteTempFile();
    EXPECT_TRUE(tempFiles().empty());
    EXPECT_NE(config.loadDocument(&bytes), "");
}

TEST_F(SessionConfigFileTest, Failures)
{
    SessionConfig missing;
    std::string path = dir / "absent.xml";
    EXPECT_EQ(missing.readFromFile(path, 1).message, "Could not open config file: " + path);

    SessionConfig broken;
    SessionConfig::ReadError error = broken.readFromFile(writeFile("<config>\n<session id=\"1\">\n</config>\n"), 1);
    EXPECT_EQ(error.message, "mismatched tag at line 3");

    SessionConfig unmatched;
    EXPECT_EQ(unmatched.readFromFile(writeFile(document("<session id=\"1\"/>")), 2).message,
              "Could not find session with id: 2");
    EXPECT_TRUE(tempFiles().empty());
}

TEST(SessionConfigText, ReceivedDocumentIsKept)
{
    const std::string xml = document("<session id=\"9\" lineNumbers=\"true\"/>");
    SessionConfig config;
    ASSERT_OK(config.readFromText(9, xml));
    EXPECT_TRUE(config.lineNumbers);
    const char *text;
    const char *path;
    int id;
    config.getXmlConfig(&text, &path, &id);
    EXPECT_EQ(text, nullptr); // not applied yet
    EXPECT_EQ(id, 0);
    config.applied = true;
    config.getXmlConfig(&text, &path, &id);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), xml);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(id, 9);
    std::string bytes;
    EXPECT_EQ(config.loadDocument(&bytes), "");
    EXPECT_EQ(bytes, xml);
}

TEST(SessionConfigText, ParseErrorNamesLineIdAndLength)
{
    const std::string xml = "<config>\n<session id=\"9\">\n<filter name=\"a\">\n</config>";
    SessionConfig config;
    SessionConfig::ReadError error = config.readFromText(9, xml);
    EXPECT_EQ(error.message, "mismatched tag at line 4 (9, " + std::to_string(xml.size()) + ")");
    EXPECT_TRUE(error.showDocument);

    SessionConfig empty;
    error = empty.readFromText(9, "");
    EXPECT_EQ(error.message, "no element found at line 1 (9, 0)");
}

} // namespace
