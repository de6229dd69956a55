/*
 * The firmware's modules include each other downwards only. This test reads
 * every `#include "dir/..."` line below firmware/, builds the graph of modules
 * (a module is a directory directly under firmware/; its sub-directories are
 * part of it) and fails on any cycle, naming the modules and the files that
 * close it.
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

namespace fs = std::filesystem;

namespace {

/* module -> included module -> the files (relative to the root) that include it */
using ModuleGraph = std::map<std::string, std::map<std::string, std::set<std::string>>>;

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

/* One cycle as "a -> b (a/x.cpp) -> a (b/y.cpp)", or "" when the graph has none. */
std::string findCycle(const ModuleGraph &graph)
{
    enum { UNSEEN, ON_PATH, DONE };
    std::map<std::string, int> mark;
    std::vector<std::string> path;
    std::string found;
    std::function<bool(const std::string &)> visit = [&](const std::string &module) {
        mark[module] = ON_PATH;
        path.push_back(module);
        auto edges = graph.find(module);
        if (edges != graph.end()) {
            for (const auto &edge : edges->second) {
                const std::string &next = edge.first;
                if (mark[next] == ON_PATH) {
                    auto start = std::find(path.begin(), path.end(), next);
                    std::vector<std::string> cycle(start, path.end());
                    cycle.push_back(next);
                    found = cycle[0];
                    for (size_t i = 1; i < cycle.size(); i++)
                        found += " -> " + cycle[i] + " (" + *graph.at(cycle[i - 1]).at(cycle[i]).begin() + ")";
                    return true;
                }
                if (mark[next] == UNSEEN && visit(next))
                    return true;
            }
        }
        path.pop_back();
        mark[module] = DONE;
        return false;
    };
    for (const auto &node : graph)
        if (mark[node.first] == UNSEEN && visit(node.first))
            return found;
    return "";
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

TEST(ModuleGraph, FirmwareModulesFormNoCycle)
{
    ModuleGraph graph = readModuleGraph(fs::path(KVR_SOURCE_DIR) / "firmware");
    ASSERT_GT(graph.size(), 10u);
    EXPECT_EQ(findCycle(graph), "") << "the firmware's modules include each other in a circle";
}

} // namespace
