#ifndef KVR_TOOLS_FRONTEND_SNAPSHOTFILE_H
#define KVR_TOOLS_FRONTEND_SNAPSHOTFILE_H

#include <cstdint>
#include <string>
#include <vector>

struct SnapshotHeader {
    uint32_t version = 0;
    uint8_t interfaceKind = 0; // 0 JVMTI agent, 1 JVMPI agent
    uint8_t fullJvmti11 = 0;
    uint8_t restrictedJvmti11 = 0;
    std::string vmName;
    std::string vmVersion;
    uint32_t allocTreeRecordingType = 0;
    int64_t snapshotTime = 0;
    uint32_t idSize = 0;
    int64_t vmStartTime = 0;
    uint8_t allUrls = 0;
    uint32_t callTreeCollectionMethod = 0;
    uint32_t exceptionalCap = 0;
    uint32_t exceptionalTimeType = 0;
    uint8_t arrayAllocationsRecorded = 0;
    int64_t wallClockTime = 0;
    int64_t vmStartWallClockTime = 0;
    int64_t vmIdentifier = 0;
};

struct SnapshotSection {
    uint64_t length = 0;   // bytes after the section's magic
    int64_t position = -1; // offset of the section's magic in the stream; -1 before version 36
    uint32_t crc = 0;
    bool verified = false; // magic and CRC checked and right
};

// The configuration and running time that a saved snapshot file carries after its stream.
struct SnapshotTrailer {
    bool present = false;
    uint32_t configId = 0;
    std::string configXml;
    uint32_t secondsRunning = 0;
};

// Reads a snapshot file (gzip-compressed, or plain): its header, its table of seven sections,
// the sections' magic and CRC-32, and the trailer of a saved file.
class SnapshotFile {
public:
    static constexpr int SECTION_COUNT = 7;

    SnapshotFile() = default;
    ~SnapshotFile();
    SnapshotFile(const SnapshotFile &) = delete;
    SnapshotFile &operator=(const SnapshotFile &) = delete;

    // Opens the file and reads the header and section table. Returns an empty string, or what is
    // wrong ("No Orvane snapshot %d" for a wrong magic, a version outside 11 to 36, a short file).
    std::string open(const std::string &path);
    // Checks the magic and CRC of every section with a length (version 36 and later, where
    // sections carry their positions). Returns an empty string, or the first section that is wrong.
    std::string verifySections();
    // Reads the trailer after the last section (version 36 and later). A stream without one (as
    // sent in a reply) leaves `trailer().present` false and is no error.
    std::string readTrailer();

    const SnapshotHeader &header() const { return header_; }
    const std::vector<SnapshotSection> &sections() const { return sections_; }
    const SnapshotTrailer &trailer() const { return trailer_; }

private:
    void *gz_ = nullptr;
    SnapshotHeader header_;
    std::vector<SnapshotSection> sections_;
    SnapshotTrailer trailer_;
};

#endif
