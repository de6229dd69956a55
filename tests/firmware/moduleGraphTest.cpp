/*
 * The firmware's modules include each other downwards only. This test reads
 * every `#include "dir/..."` line below firmware/, builds the graph of modules
 * (a module is a directory directly under firmware/; its sub-directories are
 * part of it) and fails on any cycle, naming the modules and the files that
 * close it. It also holds every include to the Layer line of its module: the
 * "Layer: ... May include a, b and c." comment of the module's headers names
 * (by directory) every module the module's files include.
 */

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "../support/TempDir.h"
#include "ModuleCycle.h"

namespace fs = std::filesystem;

namespace {

bool isSource(const fs::path &path)
{
    static const std::set<std::string> extensions = {".h", ".hpp", ".c", ".cpp"};
    return extensions.count(path.extension().string()) != 0;
}

ModuleGraph readModuleGraph(const fs::path &root)
{
    std::set<std::string> modules;
    for (const auto &entry : fs::directory_iterator(root))
        if (entry.is_directory())
            modules.insert(entry.path().filename().string());
    static const std::regex includeLine(R"(^\s*#\s*include\s*"([^"/]+)/[^"]*")");
    ModuleGraph graph;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || !isSource(entry.path()))
            continue;
        std::string file = fs::relative(entry.path(), root).string();
        std::string from = file.substr(0, file.find('/'));
        if (!modules.count(from))
            continue;
        graph[from];
        std::ifstream in(entry.path());
        std::string line;
        std::smatch match;
        while (std::getline(in, line)) {
            if (!std::regex_search(line, match, includeLine))
                continue;
            std::string to = match[1].str();
            if (to != from && modules.count(to))
                graph[from][to].insert(file);
        }
    }
    return graph;
}

/*
 * The modules each module's Layer lines allow: the words of every "May
 * include" clause (up to its first '.' or ';') of a comment that holds
 * "Layer:" in one of the module's headers. "every module" allows all.
 * A module without a Layer line has no entry.
 */
std::map<std::string, std::set<std::string>> readLayerLines(const fs::path &root)
{
    std::map<std::string, std::set<std::string>> allowed;
    static const std::regex word(R"([A-Za-z_][A-Za-z0-9_]*)");
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".h")
            continue;
        std::string file = fs::relative(entry.path(), root).string();
        if (file.find('/') == std::string::npos)
            continue;
        std::string module = file.substr(0, file.find('/'));
        std::ifstream in(entry.path());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t at = text.find("Layer:"); at != std::string::npos; at = text.find("Layer:", at + 1)) {
            size_t end = text.find("*/", at);
            std::string comment = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
            /* The comment's paragraph: up to its first empty comment line. */
            static const std::regex blank(R"(\n\s*\*\s*\n)");
            std::smatch match;
            if (std::regex_search(comment, match, blank))
                comment = comment.substr(0, match.position(0));
            std::set<std::string> &words = allowed[module];
            size_t may = comment.find("May include");
            if (may == std::string::npos)
                continue;
            std::string clause = comment.substr(may + 11);
            clause = clause.substr(0, clause.find_first_of(".;"));
            if (clause.find("every module") != std::string::npos)
                words.insert("*");
            for (std::sregex_iterator it(clause.begin(), clause.end(), word), last; it != last; ++it)
                words.insert(it->str());
        }
    }
    return allowed;
}

/* Each include a module's Layer lines do not allow, as "a includes b (a/x.cpp)"; a module without one, as "a has no Layer line". */
std::vector<std::string> includesOutsideTheirLayer(const fs::path &root)
{
    ModuleGraph graph = readModuleGraph(root);
    std::map<std::string, std::set<std::string>> allowed = readLayerLines(root);
    std::vector<std::string> faults;
    for (const auto &module : graph) {
        auto lines = allowed.find(module.first);
        if (lines == allowed.end()) {
            faults.push_back(module.first + " has no Layer line");
            continue;
        }
        for (const auto &edge : module.second)
            if (!lines->second.count("*") && !lines->second.count(edge.first))
                faults.push_back(module.first + " includes " + edge.first + " (" + *edge.second.begin() + ")");
    }
    return faults;
}

struct GraphCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> files; /* path, text */
    const char *cycle;                                     /* "" when there is none */
};

TEST(ModuleGraph, FindsCyclesInSmallTrees)
{
    const GraphCase cases[] = {
        {"downward only", {{"a/a.cpp", "#include \"b/b.h\"\n"}, {"b/b.h", "#include \"c/c.h\"\n"}, {"c/c.h", ""}}, ""},
        {"two modules", {{"a/a.cpp", "#include \"b/b.h\"\n"}, {"b/b.cpp", "#include \"a/a.h\"\n"}},
         "a -> b (a/a.cpp) -> a (b/b.cpp)"},
        {"three modules through a header",
         {{"a/a.h", "  #  include \"b/b.h\"\n"}, {"b/b.cpp", "#include \"c/c.h\"\n"}, {"c/c.cpp", "#include \"a/a.h\"\n"}},
         "a -> b (a/a.h) -> c (b/b.cpp) -> a (c/c.cpp)"},
        {"a sub-directory belongs to its module",
         {{"a/a.cpp", "#include \"a/sub/s.h\"\n"}, {"a/sub/s.cpp", "#include \"a/a.h\"\n#include \"b/b.h\"\n"},
          {"b/b.cpp", ""}},
         ""},
        {"a nested file closes the cycle",
         {{"a/sub/s.cpp", "#include \"b/b.h\"\n"}, {"b/b.cpp", "#include \"a/a.h\"\n"}},
         "a -> b (a/sub/s.cpp) -> a (b/b.cpp)"},
        {"system headers and directories outside the tree do not count",
         {{"a/a.cpp", "#include <b/b.h>\n#include \"tool/t.h\"\n#include \"local.h\"\n"}, {"b/b.cpp", "#include \"a/a.h\"\n"}},
         ""},
        {"other files and text are not includes",
         {{"a/notes.txt", "#include \"b/b.h\"\n"}, {"a/a.cpp", "// see \"b/b.h\"\n"}, {"b/b.cpp", "#include \"a/a.h\"\n"}},
         ""},
    };
    for (const GraphCase &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        for (const auto &file : c.files) {
            fs::path path = fs::path(root.path()) / file.first;
            fs::create_directories(path.parent_path());
            std::ofstream(path) << file.second;
        }
        EXPECT_EQ(findCycle(readModuleGraph(root.path())), c.cycle);
    }
}

/* Writes the files of a case below a fresh root. */
void writeTree(const TempDir &root, const std::vector<std::pair<std::string, std::string>> &files)
{
    for (const auto &file : files) {
        fs::path path = fs::path(root.path()) / file.first;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << file.second;
    }
}

TEST(ModuleGraph, HoldsIncludesToTheLayerLines)
{
    struct Case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> files;
        std::vector<std::string> faults;
    };
    const Case cases[] = {
        {"every include named",
         {{"a/a.h", "/* Layer: top. May include b and c. */\n"}, {"a/a.cpp", "#include \"b/b.h\"\n#include \"c/c.h\"\n"},
          {"b/b.h", "/* Layer: hal. Includes no other module. */\n"}, {"c/c.h", "/* Layer: c. May include nothing. */\n"}},
         {}},
        {"an include the line leaves out",
         {{"a/a.h", "/*\n * Layer: top. May include b;\n * never c.\n */\n"},
          {"a/x.cpp", "#include \"b/b.h\"\n#include \"c/c.h\"\n"}, {"b/b.h", "/* Layer: b. */"},
          {"c/c.h", "/* Layer: c. */"}},
         {"a includes c (a/x.cpp)"}},
        {"words after the clause's end do not count",
         {{"a/a.h", "/*\n * Layer: top. May include b. Other modules such as c lend it hooks.\n */\n"},
          {"a/a.cpp", "#include \"c/c.h\"\n"}, {"c/c.h", "/* Layer: c. */"}},
         {"a includes c (a/a.cpp)"}},
        {"a later paragraph of the comment does not count",
         {{"a/a.h", "/*\n * Layer: top.\n *\n * May include c, says the prose.\n */\n"},
          {"a/a.cpp", "#include \"c/c.h\"\n"}, {"c/c.h", "/* Layer: c. */"}},
         {"a includes c (a/a.cpp)"}},
        {"a second header's line adds to the module's",
         {{"a/a.h", "/* Layer: top. May include b. */\n"}, {"a/part.h", "/* Layer: top (part of a). May include c. */\n"},
          {"a/a.cpp", "#include \"b/b.h\"\n#include \"c/c.h\"\n"}, {"b/b.h", "/* Layer: b. */"},
          {"c/c.h", "/* Layer: c. */"}},
         {}},
        {"every module",
         {{"m/m.h", "/* Layer: main. May include every module. */\n"}, {"m/m.cpp", "#include \"b/b.h\"\n"},
          {"b/b.h", "/* Layer: b. */"}},
         {}},
        {"a module without a Layer line",
         {{"a/a.h", "/* The a module. */\n"}, {"a/a.cpp", ""}}, {"a has no Layer line"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        writeTree(root, c.files);
        EXPECT_EQ(includesOutsideTheirLayer(root.path()), c.faults);
    }
}

TEST(ModuleGraph, FirmwareIncludesStandInTheirLayerLines)
{
    std::vector<std::string> faults = includesOutsideTheirLayer(fs::path(KVR_SOURCE_DIR) / "firmware");
    std::string text;
    for (const std::string &fault : faults)
        text += "\n  " + fault;
    EXPECT_TRUE(faults.empty()) << "includes that their module's Layer line does not name:" << text;
}

TEST(ModuleGraph, FirmwareModulesFormNoCycle)
{
    ModuleGraph graph = readModuleGraph(fs::path(KVR_SOURCE_DIR) / "firmware");
    ASSERT_GT(graph.size(), 10u);
    EXPECT_EQ(findCycle(graph), "") << "the firmware's modules include each other in a circle";
}

} // namespace
