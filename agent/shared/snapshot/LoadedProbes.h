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
    // Commands 62, 85 and 86; other numbers change nothing.
    void handleCommand(uint32_t command, DataReader *reader, DataWriter *writer, CpuProfilingSession &cpu,
                       ClassProfilingSession &classes) const;

private:
    struct Probe {
        std::string name;
        uint32_t calls = 0;
        long long time = 0;
        std::vector<unsigned char> rows;
        std::set<uint32_t> ids;
    };

    const Probe *find(const std::string &name) const;
    void tupleData(DataReader *reader, DataWriter *writer, CpuProfilingSession &cpu, ClassProfilingSession &classes) const;
    void telemetry(DataWriter *writer) const;

    std::vector<Probe> probes;
};

#endif
