#ifndef KVR_TESTS_MODULECYCLE_H
#define KVR_TESTS_MODULECYCLE_H

/*
 * A graph of firmware modules (a module is a directory directly under
 * firmware/) and the search for a circle in it, shared by the include graph
 * and the link graph checks.
 */

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

/* module -> module it uses -> what shows the use (files, or objects and symbols) */
using ModuleGraph = std::map<std::string, std::map<std::string, std::set<std::string>>>;

/* One cycle as "a -> b (a/x.cpp) -> a (b/y.cpp)", or "" when the graph has none. */
inline std::string findCycle(const ModuleGraph &graph)
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

} // namespace

#endif
