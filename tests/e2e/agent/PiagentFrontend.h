// What piagent's end-to-end tests send and read over the front-end
// protocol: the configuration of command 1 and call-tree nodes by name.
#ifndef KVR_TESTS_E2E_AGENT_PIAGENTFRONTEND_H
#define KVR_TESTS_E2E_AGENT_PIAGENTFRONTEND_H

#include "CallTreeView.h"
#include "Registry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Command 1 with a configuration: byte 1, U4 id, U4 length, the document,
// its file name and no script files.
[[maybe_unused]] std::vector<uint8_t> configRequest(const std::string &xml)
{
    std::vector<uint8_t> config = {1, 0, 0, 0, 3};
    for (int shift = 24; shift >= 0; shift -= 8)
        config.push_back(static_cast<uint8_t>(xml.size() >> shift));
    config.insert(config.end(), xml.begin(), xml.end());
    config.insert(config.end(), {0, 6, 'u', 'n', 'u', 's', 'e', 'd', 0, 0, 0, 0});
    return config;
}

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

} // namespace

#endif
