#include "HeapView.h"

#include "Registry.h"
#include "WireReader.h"
#include "WireWriter.h"

namespace {

// An ID in the agent's host byte order (little-endian here).
void writeID(WireWriter &w, uint64_t id, unsigned width)
{
    for (unsigned i = 0; i < width; i++)
        w.writeByte(static_cast<uint8_t>(id >> (8 * i)));
}

bool readList(WireReader &reader, unsigned idWidth, std::vector<HeapEntry> *out)
{
    while (!reader.error()) {
        uint8_t more = reader.readByte();
        if (more == 0)
            return true;
        if (more != 1)
            return false;
        HeapEntry e;
        e.type = reader.readU2();
        e.classId = reader.readID(idWidth);
        e.count = reader.readJLong();
        e.size = reader.readJLong();
        out->push_back(e);
    }
    return false;
}

} // namespace

bool HeapView::readHeapUsageReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, HeapUsageReply *out)
{
    WireReader reader(body);
    return readList(reader, idWidth, &out->live) && readList(reader, idWidth, &out->collected) &&
           registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

bool HeapView::readTotalHeapUsageReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry,
                                       std::vector<HeapEntry> *out)
{
    WireReader reader(body);
    return readList(reader, idWidth, out) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

std::vector<uint8_t> HeapView::recordRequest(bool on)
{
    WireWriter w;
    w.writeByte(on ? 1 : 0);
    w.writeU4(0);
    return w.bytes();
}

std::vector<uint8_t> HeapView::allocationRequest(uint32_t level, uint32_t kind, const std::vector<std::pair<uint16_t, uint64_t>> &types,
                                                 const std::string &prefix, unsigned idWidth)
{
    WireWriter w;
    w.writeByte(1);
    w.writeU4(level);
    w.writeU4(kind);
    w.writeByte(0);
    w.writeU2(0);
    w.writeByte(0);
    w.writeU4(static_cast<uint32_t>(types.size()));
    for (const auto &t : types) {
        w.writeU2(t.first);
        writeID(w, t.second, idWidth);
    }
    w.writeString(prefix);
    return w.bytes();
}

std::vector<uint8_t> HeapView::allocationUpdateRequest(uint32_t level, uint32_t kind,
                                                       const std::vector<std::pair<uint16_t, uint64_t>> &types,
                                                       const std::string &prefix, unsigned idWidth)
{
    std::vector<uint8_t> request = allocationRequest(level, kind, types, prefix, idWidth);
    WireWriter w;
    w.writeU4(10000);
    w.writeU4(0);
    request.insert(request.end(), w.bytes().begin(), w.bytes().end());
    return request;
}

bool HeapView::readAllocationTreeReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry,
                                       AllocationTreeReply *out)
{
    WireReader reader(body);
    if (!body.empty() && body[0] == 1) {
        out->root = CallTreeView::readNode(reader, idWidth, false);
        if (out->root == nullptr)
            return false;
    } else {
        reader.readByte();
    }
    uint32_t pathLength = reader.readU4();
    for (uint32_t i = 0; i < pathLength && !reader.error(); i++) {
        uint64_t id = reader.readID(idWidth);
        uint16_t line = reader.readU2();
        out->selectedPath.push_back({id, line});
    }
    if (reader.error())
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}

std::vector<uint8_t> HeapView::expandRequest(const std::vector<std::pair<uint64_t, uint16_t>> &path, unsigned idWidth)
{
    WireWriter w;
    w.writeU4(10000);
    w.writeU4(0);
    w.writeU2(static_cast<uint16_t>(path.size()));
    for (const auto &step : path) {
        writeID(w, step.first, idWidth);
        w.writeU2(step.second);
    }
    return w.bytes();
}

bool HeapView::readExpandReply(const std::vector<uint8_t> &body, unsigned idWidth, std::unique_ptr<ViewNode> *out)
{
    out->reset();
    if (body.size() == 1 && body[0] == 0)
        return true;
    WireReader reader(body);
    *out = CallTreeView::readNode(reader, idWidth, false);
    return *out != nullptr && !reader.error() && reader.remaining() == 0;
}

bool HeapView::readAllocationHotspotReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry,
                                          AllocationHotspotReply *out)
{
    WireReader reader(body);
    out->present = reader.readByte() == 1;
    if (!out->present) {
        out->total = reader.readJLong();
    } else {
        while (!reader.error()) {
            uint8_t more = reader.readByte();
            if (more == 0) {
                // The closing record.
                reader.readID(idWidth);
                reader.readU2();
                reader.readJLong();
                reader.readU4();
                break;
            }
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
    }
    if (reader.error())
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth) && reader.remaining() == 0;
}
