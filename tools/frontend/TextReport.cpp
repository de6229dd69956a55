#include "TextReport.h"

#include "HeapView.h"
#include "Registry.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

// One field type of a descriptor from `at`, as Java writes it; advances `at`.
// Empty when the descriptor is malformed there.
std::string fieldType(const std::string &descriptor, size_t *at)
{
    int dimensions = 0;
    while (*at < descriptor.size() && descriptor[*at] == '[') {
        dimensions++;
        (*at)++;
    }
    if (*at >= descriptor.size())
        return std::string();
    std::string name;
    char c = descriptor[(*at)++];
    switch (c) {
    case 'B': name = "byte"; break;
    case 'C': name = "char"; break;
    case 'D': name = "double"; break;
    case 'F': name = "float"; break;
    case 'I': name = "int"; break;
    case 'J': name = "long"; break;
    case 'S': name = "short"; break;
    case 'Z': name = "boolean"; break;
    case 'L': {
        size_t end = descriptor.find(';', *at);
        if (end == std::string::npos || end == *at)
            return std::string();
        name = descriptor.substr(*at, end - *at);
        std::replace(name.begin(), name.end(), '/', '.');
        *at = end + 1;
        break;
    }
    default:
        return std::string();
    }
    for (int i = 0; i < dimensions; i++)
        name += "[]";
    return name;
}

std::string percent(int64_t part, int64_t whole)
{
    char text[16];
    snprintf(text, sizeof text, "%3d%%", whole > 0 ? static_cast<int>(part * 100 / whole) : 0);
    return text;
}

std::string padLeft(const std::string &text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

} // namespace

std::string TextReport::thousands(uint64_t value)
{
    std::string digits = std::to_string(value);
    std::string out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string TextReport::milliseconds(int64_t micros)
{
    // Rounded to a tenth of a millisecond; the sign kept apart so that -0.04 ms shows as 0.0.
    bool negative = micros < 0;
    uint64_t magnitude = negative ? static_cast<uint64_t>(-(micros + 1)) + 1 : static_cast<uint64_t>(micros);
    uint64_t tenths = (magnitude + 50) / 100;
    if (tenths == 0)
        negative = false;
    return (negative ? "-" : "") + thousands(tenths / 10) + "." + std::to_string(tenths % 10) + " ms";
}

std::string TextReport::javaParameters(const std::string &descriptor)
{
    if (descriptor.empty() || descriptor[0] != '(')
        return std::string();
    std::string out = "(";
    size_t at = 1;
    bool first = true;
    while (at < descriptor.size() && descriptor[at] != ')') {
        std::string type = fieldType(descriptor, &at);
        if (type.empty())
            return std::string();
        out += (first ? "" : ", ") + type;
        first = false;
    }
    if (at >= descriptor.size())
        return std::string();
    return out + ")";
}

std::string TextReport::javaMethod(const Registry &registry, uint64_t methodId)
{
    std::string shortForm = registry.describe(methodId);
    const MethodInfo *m = registry.method(methodId);
    if (m == nullptr)
        return shortForm;
    std::string parameters = javaParameters(m->signature);
    return parameters.empty() ? shortForm : shortForm + parameters;
}

std::string TextReport::hooksRemovedMark(const Registry &registry, uint64_t methodId, uint64_t calls)
{
    if (!registry.hooksRemoved(methodId))
        return "";
    return "  [hooks removed after " + thousands(calls) + " calls: counts stop here]";
}

std::string TextReport::hotspots(const HotspotReply &reply, const Registry &registry, size_t rows)
{
    std::string text = "hot spots: " + milliseconds(reply.total) + " recorded in all threads; each method's own time (callees not counted)\n";
    text += padLeft("own time", 13) + "  share" + padLeft("calls", 13) + "  method\n";
    size_t shown = std::min(rows, reply.rows.size());
    for (size_t i = 0; i < shown; i++) {
        const HotspotRow &row = reply.rows[i];
        text += padLeft(milliseconds(row.value), 13) + "  " + percent(row.value, reply.total) + " " +
                padLeft(thousands(row.calls), 13) + "  " + javaMethod(registry, row.method) +
                hooksRemovedMark(registry, row.method, row.calls) + "\n";
    }
    if (reply.rows.size() > shown)
        text += "  ... " + thousands(reply.rows.size() - shown) + " more methods\n";
    return text;
}

namespace {

// The columns and names of one kind of tree.
struct TreeLayout {
    const char *valueTitle;
    const char *countTitle;
    const char *treeTitle;
    const char *rootName;
    const char *noMethodName;
    std::string (*value)(int64_t);
    bool countsCalls; // the counts are calls, which auto-tuning stops
};

std::string bytes(int64_t value)
{
    return TextReport::thousands(value < 0 ? 0 : static_cast<uint64_t>(value));
}

std::string treeTop(const ViewNode &root, const Registry &registry, int depth, int minPerMille, const TreeLayout &layout)
{
    // A stack of nodes to print; an entry without a node closes a parent's
    // children with the count of those not shown.
    struct Entry {
        const ViewNode *node;
        int level;
        size_t hidden;
    };
    const size_t columns = 13 + 2 + 4 + 1 + 13 + 2;
    std::string text = padLeft(layout.valueTitle, 13) + "  share" + padLeft(layout.countTitle, 13) + "  " + layout.treeTitle + "\n";
    // The root of a cumulated tree may carry no value of its own: then all of
    // it is what its children hold.
    int64_t whole = root.value;
    if (whole == 0) {
        for (const auto &c : root.children)
            whole += c->value;
    }
    // The calls of each method auto-tuning took the hooks from, over the whole tree.
    std::map<uint64_t, uint64_t> tunedCalls;
    if (layout.countsCalls) {
        std::vector<const ViewNode *> nodes;
        CallTreeView::collect(root, &nodes);
        for (const ViewNode *n : nodes) {
            if (n->method != 0 && registry.hooksRemoved(n->method))
                tunedCalls[n->method] += n->count;
        }
    }
    std::vector<Entry> pending{{&root, 0, 0}};
    while (!pending.empty()) {
        Entry e = pending.back();
        pending.pop_back();
        if (e.node == nullptr) {
            text += std::string(columns + static_cast<size_t>(e.level) * 2, ' ') + "... " + TextReport::thousands(e.hidden) +
                    (e.hidden == 1 ? " more call path\n" : " more call paths\n");
            continue;
        }
        const ViewNode *n = e.node;
        std::string name = n->method == 0 ? (e.level == 0 ? layout.rootName : layout.noMethodName)
                                          : TextReport::javaMethod(registry, n->method);
        int64_t value = n == &root ? whole : n->value;
        text += padLeft(layout.value(value), 13) + "  " + percent(value, whole) + " " + padLeft(TextReport::thousands(n->count), 13) +
                "  " + std::string(static_cast<size_t>(e.level) * 2, ' ') + name;
        auto tuned = tunedCalls.find(n->method);
        if (tuned != tunedCalls.end())
            text += TextReport::hooksRemovedMark(registry, n->method, tuned->second);
        text += "\n";
        std::vector<const ViewNode *> kept;
        size_t hidden = n->childrenWithheld ? 1 : 0;
        for (const auto &c : n->children) {
            bool bigEnough = c->value * 1000 >= whole * static_cast<int64_t>(minPerMille);
            if (e.level < depth && bigEnough)
                kept.push_back(c.get());
            else
                hidden++;
        }
        std::stable_sort(kept.begin(), kept.end(), [](const ViewNode *a, const ViewNode *b) { return a->value > b->value; });
        if (hidden > 0)
            pending.push_back({nullptr, e.level + 1, hidden});
        for (auto it = kept.rbegin(); it != kept.rend(); ++it)
            pending.push_back({*it, e.level + 1, 0});
    }
    return text;
}

} // namespace

std::string TextReport::callTreeTop(const ViewNode &root, const Registry &registry, int depth, int minPerMille)
{
    static const TreeLayout layout = {"time", "calls", "call tree (time includes the callees)", "[all threads]", "[filtered classes]",
                                      milliseconds, true};
    return treeTop(root, registry, depth, minPerMille, layout);
}

std::string TextReport::allocationTreeTop(const ViewNode &root, const Registry &registry, int depth, int minPerMille)
{
    static const TreeLayout layout = {"bytes", "objects", "allocation tree (counts include the callees)", "[all allocations]",
                                      "[no allocating method]", bytes, false};
    return treeTop(root, registry, depth, minPerMille, layout);
}

std::string TextReport::arrayTypeName(uint16_t type)
{
    static const char *const NAMES[] = {"object arrays", "boolean[]", "byte[]", "char[]", "short[]", "int[]", "long[]", "float[]", "double[]"};
    if (type >= 3 && type <= 11)
        return NAMES[type - 3];
    return "type " + std::to_string(type);
}

std::string TextReport::heapList(const std::string &title, const std::vector<HeapEntry> &entries, const Registry &registry)
{
    std::vector<const HeapEntry *> rows;
    int64_t count = 0;
    int64_t size = 0;
    for (const HeapEntry &e : entries) {
        rows.push_back(&e);
        count += e.count;
        size += e.size;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const HeapEntry *a, const HeapEntry *b) { return a->size > b->size; });
    std::string text = title + ": " + thousands(rows.size()) + (rows.size() == 1 ? " entry, " : " entries, ") + bytes(count) + " objects, " +
                       bytes(size) + " bytes\n";
    if (rows.empty())
        return text;
    text += padLeft("objects", 15) + padLeft("bytes", 17) + "  class\n";
    for (const HeapEntry *e : rows) {
        std::string name;
        const ClassInfo *c = e->classId != 0 ? registry.classOf(e->classId) : nullptr;
        if (c != nullptr) {
            name = c->name;
        } else if (e->classId != 0) {
            char id[32];
            snprintf(id, sizeof id, "#%llx", static_cast<unsigned long long>(e->classId));
            name = id;
        } else {
            name = arrayTypeName(e->type);
        }
        text += padLeft(bytes(e->count), 15) + padLeft(bytes(e->size), 17) + "  " + name + "\n";
    }
    return text;
}

std::string TextReport::allocationHotspots(const AllocationHotspotReply &reply, const Registry &registry)
{
    if (!reply.present)
        return "allocation hot spots: no allocation tree selected yet\n";
    std::string text = "allocation hot spots: " + bytes(reply.total) + " bytes allocated; each method's own allocations (callees not counted)\n";
    text += padLeft("bytes", 13) + "  share" + padLeft("objects", 13) + "  method\n";
    for (const HotspotRow &row : reply.rows)
        text += padLeft(bytes(row.value), 13) + "  " + percent(row.value, reply.total) + " " + padLeft(thousands(row.calls), 13) + "  " +
                javaMethod(registry, row.method) + "\n";
    return text;
}
