#include "ProbeView.h"

#include <sstream>

#include "Registry.h"
#include "WireReader.h"
#include "WireWriter.h"

std::unique_ptr<ViewNode> ProbeView::readHeaderFirstNode(WireReader &reader, unsigned idWidth)
{
    if (reader.readByte() != 1 || reader.error())
        return nullptr;
    std::unique_ptr<ViewNode> root(new ViewNode());
    root->method = reader.readID(idWidth);
    root->line = reader.readU2();
    std::vector<ViewNode *> open{root.get()};
    while (!open.empty() && !reader.error()) {
        uint8_t mark = reader.readByte();
        if (mark == 1) {
            open.back()->children.emplace_back(new ViewNode());
            ViewNode *child = open.back()->children.back().get();
            child->method = reader.readID(idWidth);
            child->line = reader.readU2();
            open.push_back(child);
        } else if (mark == 2) {
            open.back()->childrenWithheld = true;
        } else if (mark == 0) {
            uint32_t n = reader.readU4();
            for (uint32_t i = 0; i < n && !reader.error(); i++)
                open.back()->annotations.push_back(reader.readU4());
            open.pop_back();
        } else {
            return nullptr;
        }
    }
    return reader.error() ? nullptr : std::move(root);
}

bool ProbeView::readTupleReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, ProbeTupleReply *out)
{
    WireReader reader(body);
    out->probe = reader.readString();
    out->present = reader.readByte() == 1;
    if (reader.error())
        return false;
    if (!out->present)
        return reader.remaining() == 0;
    uint32_t n = reader.readU4();
    for (uint32_t i = 0; i < n && !reader.error(); i++) {
        ProbeTuple t;
        t.id = reader.readU4();
        t.thread = static_cast<uint64_t>(reader.readJLong());
        t.payload = reader.readString();
        t.count = reader.readU4();
        t.time = reader.readJLong();
        out->tuples.push_back(t);
    }
    out->callSites = readHeaderFirstNode(reader, idWidth);
    if (out->callSites == nullptr)
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

std::vector<uint8_t> ProbeView::hotspotRequest(const std::string &probe, const std::vector<uint32_t> &backTraces)
{
    WireWriter w;
    w.writeByte(1); // regenerate
    w.writeU4(0);   // methods
    w.writeU2(0);   // all threads
    w.writeByte(0); // no selection
    w.writeU2(0);   // no old path
    w.writeU4(0);   // no probe annotation
    w.writeU4(1);   // CPU time
    w.writeString(probe);
    w.writeU4(static_cast<uint32_t>(backTraces.size()));
    for (uint32_t index : backTraces)
        w.writeU4(index);
    return w.bytes();
}

bool ProbeView::readHotspotReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, ProbeHotspotReply *out)
{
    WireReader reader(body);
    uint16_t n = reader.readU2();
    for (uint16_t i = 0; i < n && !reader.error(); i++) {
        ProbeHotspot h;
        h.payload = reader.readString();
        h.time = reader.readJLong();
        h.count = reader.readU4();
        out->hotspots.push_back(std::move(h));
    }
    while (!reader.error() && reader.readByte() == 1) {
        uint32_t index = reader.readU4();
        std::unique_ptr<ViewNode> positive = CallTreeView::readNode(reader, idWidth);
        std::unique_ptr<ViewNode> negative = CallTreeView::readNode(reader, idWidth);
        if (positive == nullptr || negative == nullptr)
            return false;
        // Back traces of a hotspot that is not in the list are empty; they are dropped.
        if (index >= out->hotspots.size())
            continue;
        out->hotspots[index].backTraces = std::move(positive);
        out->hotspots[index].negativeBackTraces = std::move(negative);
    }
    if (reader.error())
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

namespace {

void formatSites(std::ostringstream &out, const ViewNode &node, const Registry &registry, int depth)
{
    if (depth > 0) {
        out << std::string(static_cast<size_t>(2 * (depth - 1)), ' ') << registry.describe(node.method);
        for (uint32_t id : node.annotations)
            out << " #" << id;
        out << "\n";
    }
    for (const auto &c : node.children)
        formatSites(out, *c, registry, depth + 1);
}

} // namespace

std::string ProbeView::format(const ProbeTupleReply &reply, const Registry &registry)
{
    std::ostringstream out;
    out << "probe " << reply.probe << (reply.present ? "" : ": no data") << "\n";
    for (const ProbeTuple &t : reply.tuples)
        out << "#" << t.id << " " << t.payload << " calls " << t.count << " time " << t.time << "\n";
    if (reply.callSites != nullptr)
        formatSites(out, *reply.callSites, registry, 0);
    return out.str();
}

std::string ProbeView::format(const ProbeHotspotReply &reply, const Registry &registry)
{
    std::ostringstream out;
    for (const ProbeHotspot &h : reply.hotspots) {
        out << h.payload << " calls " << h.count << " time " << h.time << "\n";
        if (h.backTraces != nullptr)
            out << CallTreeView::format(*h.backTraces, registry);
    }
    return out.str();
}
