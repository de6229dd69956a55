#include "LoadDataView.h"

#include <sys/stat.h>

#include <sstream>

#include "Registry.h"
#include "WireReader.h"

bool LoadDataView::readLoadDataReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, LoadDataReply *out)
{
    WireReader r(body);
    *out = LoadDataReply();
    out->result = static_cast<int32_t>(r.readU4());
    uint8_t failed = r.readByte();
    if (r.error() || failed > 1)
        return false;
    out->loaded = failed == 0;
    if (out->loaded) {
        out->storedIdSize = r.readU4();
        if (out->storedIdSize != 4 && out->storedIdSize != 8)
            return false;
        // The pairs are there unless the agent's reader had failed.
        uint8_t more = r.readByte();
        while (more == 1 && !r.error()) {
            uint64_t stored = r.readID(out->storedIdSize);
            out->ids.push_back({stored, r.readID(idWidth)});
            more = r.readByte();
        }
        if (more != 0)
            return false;
        more = r.readByte();
        while (more == 1 && !r.error()) {
            uint64_t stored = r.readID(out->storedIdSize);
            out->threadIds.push_back({stored, r.readJLong()});
            more = r.readByte();
        }
        if (more != 0)
            return false;
        uint8_t noFile = r.readByte();
        if (noFile > 1)
            return false;
        out->hasFile = noFile == 0;
        if (out->hasFile)
            out->file = r.readString();
    }
    if (r.error() || !registry->readMethods(r, idWidth) || !registry->readClasses(r, idWidth))
        return false;
    out->time = r.readJLong();
    if (r.readU4() != 0 || r.error())
        return false;
    return ThreadView::readThreadDescriptions(r, idWidth, registry, &out->threads) && !r.error() && r.remaining() == 0;
}

std::string LoadDataView::format(const LoadDataReply &reply, const Registry &registry)
{
    std::ostringstream text;
    text << "  read result " << reply.result;
    if (reply.result == -1003)
        text << " (damaged snapshot)";
    else if (reply.result == -1002)
        text << " (snapshot of a newer agent)";
    else if (reply.result == 0)
        text << " (snapshot of an agent too old)";
    else
        text << " (snapshot version " << reply.result << ")";
    text << "\n";
    if (reply.loaded) {
        text << "  stored ID size " << reply.storedIdSize << ", " << reply.ids.size() << " IDs mapped, " << reply.threadIds.size()
             << " threads\n";
        if (reply.hasFile) {
            struct stat st;
            long long size = stat(reply.file.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
            text << "  front-end data " << reply.file << " (" << size << " bytes)\n";
        } else {
            text << "  no front-end data file (see the loader's output)\n";
        }
    }
    text << "  " << registry.methodCount() << " methods, " << registry.classCount() << " classes described\n";
    for (const ThreadInfo &t : reply.threads)
        text << "  thread " << t.name << " (" << t.group << ")\n";
    return text.str();
}
