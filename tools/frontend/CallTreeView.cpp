#include "CallTreeView.h"

#include "Registry.h"
#include "WireReader.h"
#include "WireWriter.h"

std::unique_ptr<ViewNode> CallTreeView::readNode(WireReader &reader, unsigned idWidth, bool withAnnotations)
{
    if (reader.readByte() != 1 || reader.error())
        return nullptr;
    std::unique_ptr<ViewNode> root(new ViewNode());
    std::vector<ViewNode *> open{root.get()};
    while (!open.empty() && !reader.error()) {
        uint8_t mark = reader.readByte();
        if (mark == 1) {
            open.back()->children.emplace_back(new ViewNode());
            open.push_back(open.back()->children.back().get());
        } else if (mark == 2) {
            open.back()->childrenWithheld = true;
        } else if (mark == 0) {
            ViewNode *done = open.back();
            done->method = reader.readID(idWidth);
            done->line = reader.readU2();
            done->value = reader.readJLong();
            done->count = reader.readU4();
            if (withAnnotations) {
                uint32_t n = reader.readU4();
                for (uint32_t i = 0; i < n && !reader.error(); i++)
                    done->annotations.push_back(reader.readU4());
            }
            open.pop_back();
        } else {
            return nullptr;
        }
    }
    return reader.error() ? nullptr : std::move(root);
}

bool CallTreeView::readInvocationTreeReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, CallTreeReply *out)
{
    WireReader reader(body);
    if (!body.empty() && body[0] == 1) {
        out->root = readNode(reader, idWidth, true);
        if (out->root == nullptr)
            return false;
    } else {
        reader.readByte();
    }
    uint32_t pathLength = reader.readU4();
    for (uint32_t i = 0; i < pathLength && !reader.error(); i++) {
        reader.readID(idWidth);
        reader.readU2();
    }
    reader.readID(idWidth);
    out->valueKind = reader.readU4();
    if (reader.error())
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

std::vector<uint8_t> CallTreeView::invocationTreeRequest(uint32_t aggregationLevel, uint32_t valueKind, uint32_t depth, uint32_t perMille)
{
    WireWriter w;
    w.writeByte(1);              // regenerate
    w.writeU4(aggregationLevel); // 0 methods, 1 classes, 2 packages
    w.writeU2(0);                // all threads
    w.writeByte(0);              // no selection
    w.writeU2(0);                // no old path
    w.writeU4(0);                // no probe annotation
    w.writeU4(valueKind);
    w.writeU4(depth);
    w.writeU4(perMille);
    return w.bytes();
}

std::vector<uint8_t> CallTreeView::hotspotRequest(uint32_t valueKind, bool sorted)
{
    WireWriter w;
    w.writeByte(1);
    w.writeU4(0);
    w.writeU2(0);
    w.writeByte(0);
    w.writeU2(0);
    w.writeU4(0);
    w.writeU4(valueKind);
    w.writeByte(0);              // filtered methods shown
    w.writeU4(0);                // every class kind
    w.writeByte(sorted ? 1 : 0);
    w.writeByte(0);              // no back traces
    return w.bytes();
}

bool CallTreeView::readHotspotReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, HotspotReply *out)
{
    WireReader reader(body);
    if (reader.readByte() != 1)
        return false;
    while (!reader.error()) {
        uint8_t more = reader.readByte();
        if (more == 0)
            break;
        // A hotspot without back traces: a node whose children are withheld.
        if (more != 1)
            return false;
        HotspotRow row;
        uint8_t mark = reader.readByte();
        while (mark == 2)
            mark = reader.readByte();
        if (mark != 0)
            return false;
        row.method = reader.readID(idWidth);
        reader.readU2();
        row.value = reader.readJLong();
        row.calls = reader.readU4();
        out->rows.push_back(row);
    }
    out->total = reader.readJLong();
    if (reader.error())
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

std::vector<uint8_t> CallTreeView::methodGraphRequest(uint32_t valueKind)
{
    WireWriter w;
    w.writeByte(1);
    w.writeU4(0);
    w.writeU2(0);
    w.writeByte(0);
    w.writeU2(0);
    w.writeU4(0);
    w.writeU4(valueKind);
    return w.bytes();
}

bool CallTreeView::readMethodGraphReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, MethodGraphReply *out)
{
    WireReader reader(body);
    for (uint8_t more = reader.readByte(); more != 0 && !reader.error(); more = reader.readByte()) {
        if (more != 1)
            return false;
        MethodGraphEdgeRow edge;
        edge.caller = reader.readID(idWidth);
        edge.callee = reader.readID(idWidth);
        edge.time = reader.readJLong();
        edge.calls = reader.readU4();
        out->edges.push_back(edge);
    }
    for (uint8_t more = reader.readByte(); more != 0 && !reader.error(); more = reader.readByte()) {
        if (more != 1)
            return false;
        MethodGraphMethodRow method;
        method.method = reader.readID(idWidth);
        method.total = reader.readJLong();
        method.self = reader.readJLong();
        method.calls = reader.readU4();
        out->methods.push_back(method);
    }
    if (reader.error())
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

std::string CallTreeView::format(const ViewNode &root, const Registry &registry)
{
    std::string text;
    std::vector<std::pair<const ViewNode *, int>> pending{{&root, 0}};
    while (!pending.empty()) {
        const ViewNode *n = pending.back().first;
        int depth = pending.back().second;
        pending.pop_back();
        text += std::string(static_cast<size_t>(depth) * 2, ' ');
        text += n->method == 0 ? (depth == 0 ? "[all threads]" : "[filtered]") : registry.describe(n->method);
        if (n->line != 0)
            text += ":" + std::to_string(n->line);
        text += "  " + std::to_string(n->count) + " calls  " + std::to_string(n->value) + " us";
        if (n->childrenWithheld)
            text += "  ...";
        text += "\n";
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
            pending.push_back({it->get(), depth + 1});
    }
    return text;
}

void CallTreeView::collect(const ViewNode &root, std::vector<const ViewNode *> *out)
{
    std::vector<const ViewNode *> pending{&root};
    while (!pending.empty()) {
        const ViewNode *n = pending.back();
        pending.pop_back();
        out->push_back(n);
        for (const auto &c : n->children)
            pending.push_back(c.get());
    }
}
