// The agent's folders under agent/shared include each other by bare header
// name. This test maps every header to its folder, builds the graph of
// folders from the include lines of every source, and checks it against what
// ARCHITECTURE.md says: the VM edges (jvmti/, jvmpi/) sit on top, nothing
// below them includes them, and the one circle among the folders below is
// the one named there with its reasons.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "../../support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// folder -> included folder -> the files (relative to the root) that include it
using FolderGraph = std::map<std::string, std::map<std::string, std::set<std::string>>>;

bool isSource(const fs::path &path)
{
    return path.extension() == ".h" || path.extension() == ".cpp";
}

FolderGraph readFolderGraph(const fs::path &root)
{
    // header name -> the folders that hold a header of that name
    std::map<std::string, std::set<std::string>> homes;
    std::vector<fs::path> sources;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || !isSource(entry.path()))
            continue;
        std::string file = fs::relative(entry.path(), root).string();
        if (file.find('/') == std::string::npos)
            continue;
        sources.push_back(entry.path());
        if (entry.path().extension() == ".h")
            homes[entry.path().filename().string()].insert(file.substr(0, file.find('/')));
    }
    static const std::regex includeLine(R"re(^\s*#\s*include\s*"([^"]+)")re");
    FolderGraph graph;
    for (const fs::path &path : sources) {
        std::string file = fs::relative(path, root).string();
        std::string from = file.substr(0, file.find('/'));
        graph[from];
        std::ifstream in(path);
        std::string line;
        std::smatch match;
        while (std::getline(in, line)) {
            if (!std::regex_search(line, match, includeLine))
                continue;
            auto found = homes.find(fs::path(match[1].str()).filename().string());
            // A header of the file's own folder wins over one of the same name elsewhere.
            if (found == homes.end() || found->second.count(from))
                continue;
            for (const std::string &to : found->second)
                graph[from][to].insert(file);
        }
    }
    return graph;
}

// The groups of folders that reach each other (strongly connected, more than
// one folder each), each sorted, among the folders not in `leaveOut`.
std::set<std::set<std::string>> circles(const FolderGraph &graph, const std::set<std::string> &leaveOut)
{
    std::map<std::string, std::set<std::string>> reach;
    for (const auto &node : graph) {
        if (leaveOut.count(node.first))
            continue;
        std::set<std::string> &seen = reach[node.first];
        std::function<void(const std::string &)> walk = [&](const std::string &at) {
            auto edges = graph.find(at);
            if (edges == graph.end())
                return;
            for (const auto &edge : edges->second) {
                if (!leaveOut.count(edge.first) && seen.insert(edge.first).second)
                    walk(edge.first);
            }
        };
        walk(node.first);
    }
    std::set<std::set<std::string>> groups;
    for (const auto &node : reach) {
        std::set<std::string> group = {node.first};
        for (const std::string &other : node.second) {
            if (other != node.first && reach[other].count(node.first))
                group.insert(other);
        }
        if (group.size() > 1)
            groups.insert(group);
    }
    return groups;
}

struct Case {
    const char *name;
    std::vector<std::pair<std::string, std::string>> files; // path, text
    std::set<std::set<std::string>> circles;
};

TEST(AgentFolderGraph, FindsTheCirclesOfSmallTrees)
{
    const Case cases[] = {
        {"downward only", {{"a/A.cpp", "#include \"B.h\"\n"}, {"b/B.h", "#include \"C.h\"\n"}, {"c/C.h", ""}}, {}},
        {"two folders", {{"a/A.h", ""}, {"a/A.cpp", "#include \"B.h\"\n"}, {"b/B.h", ""}, {"b/B.cpp", "#include \"A.h\"\n"}},
         {{"a", "b"}}},
        {"three folders through headers, a fourth below",
         {{"a/A.h", "#include \"B.h\"\n"}, {"b/B.h", "#include \"C.h\"\n#include \"D.h\"\n"}, {"c/C.h", "#include \"A.h\"\n"},
          {"d/D.h", ""}},
         {{"a", "b", "c"}}},
        {"a header of the file's own folder wins",
         {{"a/Same.h", ""}, {"a/A.cpp", "#include \"Same.h\"\n"}, {"b/Same.h", ""}, {"b/B.cpp", "#include \"A.h\"\n"},
          {"a/A.h", ""}},
         {}},
        {"system headers and unknown names do not count",
         {{"a/A.h", ""}, {"a/A.cpp", "#include <B.h>\n#include \"nowhere.h\"\n"}, {"b/B.h", ""}, {"b/B.cpp", "#include \"A.h\"\n"}},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        for (const auto &file : c.files) {
            fs::path path = fs::path(root.path()) / file.first;
            fs::create_directories(path.parent_path());
            std::ofstream(path) << file.second;
        }
        EXPECT_EQ(circles(readFolderGraph(root.path()), {}), c.circles);
    }
}

const std::set<std::string> EDGES = {"jvmti", "jvmpi"};

TEST(AgentFolderGraph, TheEdgesAreOnTopAndTheOneCircleBelowThemIsTheNamedOne)
{
    FolderGraph graph = readFolderGraph(fs::path(KVR_SOURCE_DIR) / "agent" / "shared");
    ASSERT_TRUE(graph.count("cpu") && graph.count("jvmti") && graph.count("jvmpi"));
    for (const auto &node : graph) {
        if (EDGES.count(node.first))
            continue;
        for (const std::string &edge : EDGES) {
            auto found = node.second.find(edge);
            EXPECT_TRUE(found == node.second.end())
                << node.first << " includes the edge " << edge << " in " << *found->second.begin();
        }
    }
    // The call tree and the thread manager record one call together (cpu and
    // threads); probe payloads hang on call-tree nodes that the CPU views
    // write (cpu and probes); the recorder drives the CPU session over the
    // session's method records (cpu and session); the thread view carries
    // the sampler's bookmarks, and the sampler's thread-status pass walks the
    // thread managers (cpu and sampler).
    std::set<std::set<std::string>> named = {{"cpu", "probes", "sampler", "session", "threads"}};
    std::set<std::set<std::string>> found = circles(graph, EDGES);
    std::string text;
    for (const auto &group : found) {
        text += "{";
        for (const std::string &folder : group)
            text += " " + folder;
        text += " }";
    }
    EXPECT_EQ(found, named) << text;
}

// A class is found from its name in one step: no two folders hold a header of
// the same name (one file per class, so one definition per class name).
TEST(AgentFolderGraph, EveryHeaderNameHasOneFolder)
{
    fs::path root = fs::path(KVR_SOURCE_DIR) / "agent";
    std::map<std::string, std::set<std::string>> homes;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().extension() == ".h")
            homes[entry.path().filename().string()].insert(fs::relative(entry.path().parent_path(), root).string());
    }
    ASSERT_TRUE(homes.count("CpuProfilingSession.h"));
    for (const auto &home : homes) {
        std::string folders;
        for (const std::string &folder : home.second)
            folders += " " + folder;
        EXPECT_EQ(home.second.size(), 1u) << home.first << " in" << folders;
    }
}

} // namespace
