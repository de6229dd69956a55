#ifndef AGENT_LOADEDPROBES_H
#define AGENT_LOADEDPROBES_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class ClassProfilingSession;
class CpuProfilingSession;
class DataReader;
class DataWriter;

// The probe data of a loaded snapshot: the descriptions its CPU section
// carried and the payloads of its Java part, served as the live agent's Java
// side served them (descriptions, payload rows with their call sites, probe
// telemetry).
//
// Java part with payloads: byte 1, U4 n and n x (UTF probe name, U4 calls,
// JLong time in microseconds, U4 length and the payload rows, U4 k and the k
// annotation ids of the rows' call sites). A part that starts with byte 0
// has no payloads.
class LoadedProbes {
public:
    // Takes the Java part's body; false (and no probes) when it is damaged.
    bool parse(const std::vector<unsigned char> &javaPart);
    // Command 62: U4 length and the probe descriptions the snapshot carried.
    void handleCmdProbeDescriptions(DataWriter *writer, CpuProfilingSession &cpu) const;
    // Command 85: the name echoed; byte 0 for a probe without rows; else
    // byte 1, the rows, the tree of their call sites and the new descriptions.
    void handleCmdProbeTupleData(DataReader *reader, DataWriter *writer, CpuProfilingSession &cpu, ClassProfilingSession &classes) const;
    // Command 86: byte 0 without payloads; else the probes' telemetry.
    void handleCmdProbeTelemetry(DataWriter *writer) const;

private:
    struct Probe {
        std::string name;
        uint32_t calls = 0;
        long long time = 0;
        std::vector<unsigned char> rows;
        std::set<uint32_t> ids;
    };

    const Probe *find(const std::string &name) const;

    std::vector<Probe> probes;
};

#endif
