#include "ThreadView.h"

#include "Registry.h"
#include "WireReader.h"

bool ThreadView::readThreadDescriptions(WireReader &reader, unsigned idWidth, Registry *registry, std::vector<ThreadInfo> *out,
                                        std::vector<std::pair<int64_t, std::string>> *bookmarks)
{
    while (!reader.error()) {
        uint8_t more = reader.readByte();
        if (more == 0)
            break;
        if (more != 1)
            return false;
        ThreadInfo t;
        t.id = reader.readID(idWidth);
        t.name = reader.readString();
        t.group = reader.readString();
        t.parent = reader.readString();
        t.javaId = reader.readJLong();
        t.start = reader.readJLong();
        t.end = reader.readJLong();
        t.cpuTime = reader.readJLong();
        uint32_t statuses = reader.readU4();
        for (uint32_t i = 0; i < statuses && !reader.error(); i++) {
            uint8_t status = reader.readByte();
            t.statuses.emplace_back(status, reader.readJLong());
        }
        t.creator = reader.readID(idWidth);
        uint32_t frames = reader.readU4();
        for (uint32_t i = 0; i < frames && !reader.error(); i++) {
            uint64_t method = reader.readID(idWidth);
            t.creationPath.emplace_back(method, reader.readU2());
        }
        out->push_back(t);
    }
    uint32_t count = reader.readU4();
    for (uint32_t i = 0; i < count && !reader.error(); i++) {
        int64_t time = reader.readJLong();
        std::string text = reader.readString();
        if (bookmarks != nullptr)
            bookmarks->emplace_back(time, text);
    }
    if (reader.error())
        return false;
    return registry->readMethods(reader, idWidth) && registry->readClasses(reader, idWidth);
}

bool ThreadView::readThreadDumpReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, ThreadDumpReply *out)
{
    WireReader reader(body);
    while (!reader.error()) {
        uint8_t more = reader.readByte();
        if (more == 0)
            break;
        if (more != 1)
            return false;
        uint64_t thread = reader.readID(idWidth);
        std::vector<StackTraceInfo> &traces = out->traces[thread];
        while (!reader.error() && reader.readByte() == 1) {
            StackTraceInfo trace;
            trace.time = reader.readJLong();
            while (!reader.error() && reader.readByte() == 1) {
                uint64_t method = reader.readID(idWidth);
                trace.frames.emplace_back(method, reader.readU2());
            }
            traces.push_back(trace);
        }
    }
    out->time = reader.readJLong();
    reader.readU4();
    if (reader.error())
        return false;
    return readThreadDescriptions(reader, idWidth, registry, &out->threads) && reader.remaining() == 0;
}

std::string ThreadView::format(const ThreadDumpReply &dump, const Registry &registry)
{
    std::string text;
    for (const ThreadInfo &t : dump.threads) {
        text += "\"" + t.name + "\" [" + t.group + "]" + (t.end < 0 ? " alive" : " ended") + "\n";
        auto found = dump.traces.find(t.id);
        if (found == dump.traces.end() || found->second.empty())
            continue;
        const StackTraceInfo &last = found->second.back();
        for (auto it = last.frames.rbegin(); it != last.frames.rend(); ++it)
            text += "    at " + registry.describe(it->first) + (it->second != 0 ? ":" + std::to_string(it->second) : "") + "\n";
    }
    return text;
}

std::string ThreadView::formatStatusHistories(const std::vector<ThreadInfo> &threads)
{
    std::string text;
    for (const ThreadInfo &t : threads) {
        text += "\"" + t.name + "\":";
        for (const auto &s : t.statuses)
            text += " " + std::to_string(s.first) + "@" + std::to_string(s.second / 1000);
        text += "\n";
    }
    return text;
}
