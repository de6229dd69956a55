#ifndef KVR_TOOLS_FRONTEND_HEAPDUMPFILE_H
#define KVR_TOOLS_FRONTEND_HEAPDUMPFILE_H

#include <cstdint>
#include <string>
#include <vector>

// A "jhd" heap dump as the agent writes it (command 7, snapshot section 4).
struct JhdEntry {
    // Instances: 4 a reference (or a 4-byte primitive: the class's field types
    // tell which), 1, 2 or 8 a primitive value. Object arrays: the element
    // index (from 0) and the referenced id.
    int tag = 0;
    uint32_t index = 0;
    uint64_t value = 0;
};

struct JhdObject {
    int type = 0; // 2 instance, 3 object array, 4-11 primitive arrays
    uint64_t classId = 0;
    uint32_t id = 0;
    uint64_t node = 0;
    uint32_t size = 0;
    uint32_t time = 0;
    uint32_t length = 0; // object arrays
    std::vector<JhdEntry> entries;
    // Primitive arrays with values: the element count written and the elements.
    bool hasValues = false;
    uint32_t valueCount = 0;
    std::vector<uint64_t> values;
};

struct JhdRoot {
    int kind = 0;
    uint32_t id = 0;
    bool stack = false; // 53 and 54 carry a method and a location
    uint64_t method = 0;
    int64_t location = 0;
};

struct JhdClass {
    uint64_t classId = 0;
    uint32_t tag = 0;
    uint64_t node = 0;
    uint32_t size = 0;
    uint32_t time = 0;
    uint32_t loaderId = 0;
    std::vector<uint32_t> interfaceIds;
    std::vector<uint32_t> constantPoolIds;
    std::vector<uint8_t> staticData;
};

struct JhdDump {
    uint32_t version = 0;
    bool allocationTime = false, primitiveValues = false, option4 = false, option5 = false, option6 = false;
    uint64_t unknownNode = 0;
    std::vector<JhdObject> objects;
    std::vector<JhdRoot> roots;
    std::vector<JhdClass> classes;
    std::vector<std::pair<uint64_t, uint64_t>> methods; // method id, method description
};

// Parses a dump with IDs of `idWidth` bytes. False with `error` set when the
// bytes are cut short or hold an unknown record.
bool parseHeapDump(const std::vector<uint8_t> &bytes, unsigned idWidth, JhdDump *dump, std::string *error);
bool readHeapDumpFile(const std::string &path, unsigned idWidth, JhdDump *dump, std::string *error);
// A text summary: the header, per object its id, class, size, node and references, the roots.
std::string describeHeapDump(const JhdDump &dump);

class Registry;
// The reply of command 7: U4 0 (no dump), U4 2 and the path of the file, or
// U4 1, JLong size, the bytes and U4 their CRC-32; then the descriptions
// (into `registry`). The dump is read from the bytes or the file. False with
// `error` set for a failed dump, a bad CRC or a damaged reply.
bool readHeapDumpReply(const std::vector<uint8_t> &body, unsigned idWidth, Registry *registry, JhdDump *dump,
                       std::string *error);

#endif
