#include "LoadedProbes.h"

#include "ByteArrayDataReader.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "ProbeData.h"

bool LoadedProbes::parse(const std::vector<unsigned char> &javaPart)
{
    probes.clear();
    if (javaPart.empty() || javaPart[0] != 1)
        return true;
    ByteArrayDataReader reader(javaPart.data(), static_cast<int>(javaPart.size()));
    reader.readByte(0);
    uint32_t count = reader.readU4(0);
    std::vector<Probe> read;
    for (uint32_t i = 0; i < count && !reader.getError(); i++) {
        Probe probe;
        char *name = reader.readString(nullptr);
        if (name == nullptr)
            break;
        probe.name = name;
        delete[] name;
        probe.calls = reader.readU4(0);
        probe.time = reader.readJLong(0);
        uint32_t length = reader.readU4(0);
        if (reader.getError() || length > javaPart.size())
            break;
        probe.rows.resize(length);
        if (length > 0 && reader.readFully(probe.rows.data(), static_cast<int>(length)) != static_cast<int>(length))
            break;
        uint32_t ids = reader.readU4(0);
        for (uint32_t k = 0; k < ids && !reader.getError(); k++)
            probe.ids.insert(reader.readU4(0));
        if (reader.getError())
            break;
        read.push_back(std::move(probe));
    }
    if (read.size() != count || reader.getError()) {
        MessageUtil::message("%s: the snapshot's probe payloads are damaged", __func__);
        return false;
    }
    probes = std::move(read);
    return true;
}

const LoadedProbes::Probe *LoadedProbes::find(const std::string &name) const
{
    for (const Probe &p : probes) {
        if (p.name == name)
            return &p;
    }
    return nullptr;
}

void LoadedProbes::handleCmdProbeDescriptions(DataWriter *writer, CpuProfilingSession &cpu) const
{
    const std::vector<unsigned char> &meta = cpu.getLoadedProbeMetaData();
    writer->writeU4(static_cast<uint32_t>(meta.size()));
    if (!meta.empty())
        writer->writeBuffered(meta.data(), static_cast<int>(meta.size()));
}

// Command 85: the name echoed; byte 0 for a probe without rows; else byte 1,
// the rows, the tree of their call sites and the new descriptions.
void LoadedProbes::handleCmdProbeTupleData(DataReader *reader, DataWriter *writer, CpuProfilingSession &cpu, ClassProfilingSession &classes) const
{
    char *name = reader->readString(nullptr);
    std::string wanted = name != nullptr ? name : "";
    delete[] name;
    writer->writeString(wanted.c_str());
    const Probe *probe = reader->getError() ? nullptr : find(wanted);
    if (probe == nullptr || probe->rows.empty()) {
        writer->writeByte(0);
        return;
    }
    writer->writeByte(1);
    writer->writeBuffered(probe->rows.data(), static_cast<int>(probe->rows.size()));
    // Annotation ids are unique over all threads: every loaded thread is searched.
    std::vector<const void *> threads;
    for (LiveThreadManager *t : cpu.getThreadManagers())
        threads.push_back(t);
    cpu.withThreadTrees(threads, [&](const std::vector<const CallStackTree *> &roots) { ProbeData::writeCallSites(writer, roots, probe->ids); });
    classes.writeMethodDescriptions(writer, true);
    classes.writeClassDescriptions(writer, true);
}

// Command 86: byte 1, U4 n and n x (UTF probe name, U4 calls, JLong time);
// byte 0 without probes.
void LoadedProbes::handleCmdProbeTelemetry(DataWriter *writer) const
{
    if (probes.empty()) {
        writer->writeByte(0);
        return;
    }
    writer->writeByte(1);
    writer->writeU4(static_cast<uint32_t>(probes.size()));
    for (const Probe &p : probes) {
        writer->writeString(p.name.c_str());
        writer->writeU4(p.calls);
        writer->writeJLong(p.time);
    }
}
