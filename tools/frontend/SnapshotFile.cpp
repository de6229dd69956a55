#include "SnapshotFile.h"

#include "FrontendProtocol.h"
#include "WireReader.h"

#include <cstdio>
#include <zlib.h>

namespace {

constexpr uint32_t OLDEST_VERSION = 11;
constexpr uint32_t NEWEST_VERSION = 36;
constexpr size_t CHUNK = 20480;

// Typed big-endian reads straight from a gzip stream; a short read sets `failed`.
class GzFields {
public:
    explicit GzFields(gzFile gz) : gz_(gz) {}
    bool failed = false;

    bool bytes(void *data, size_t length)
    {
        if (failed)
            return false;
        if (length > 0 && gzread(gz_, data, static_cast<unsigned>(length)) != static_cast<int>(length))
            failed = true;
        return !failed;
    }
    uint64_t number(size_t length)
    {
        uint8_t raw[8] = {};
        if (!bytes(raw, length))
            return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < length; i++)
            value = value << 8 | raw[i];
        return value;
    }
    uint8_t u1() { return static_cast<uint8_t>(number(1)); }
    uint32_t u4() { return static_cast<uint32_t>(number(4)); }
    int64_t jlong() { return static_cast<int64_t>(number(8)); }
    std::string string()
    {
        std::string text(static_cast<size_t>(number(2)), '\0');
        if (!text.empty())
            bytes(&text[0], text.size());
        return failed ? std::string() : text;
    }

private:
    gzFile gz_;
};

} // namespace

SnapshotFile::~SnapshotFile()
{
    if (gz_)
        gzclose(static_cast<gzFile>(gz_));
}

std::string SnapshotFile::open(const std::string &path)
{
    if (gz_)
        gzclose(static_cast<gzFile>(gz_));
    gz_ = gzopen(path.c_str(), "rb");
    if (!gz_)
        return "cannot open " + path;
    GzFields in(static_cast<gzFile>(gz_));
    SnapshotHeader h;
    uint32_t magic = in.u4();
    if (in.failed || magic != frontendProtocol::MAGIC) {
        char text[64];
        snprintf(text, sizeof text, "No Orvane snapshot %d", static_cast<int>(magic));
        return text;
    }
    h.version = in.u4();
    if (in.failed)
        return "snapshot ends in its header";
    if (h.version < OLDEST_VERSION)
        return "snapshot version " + std::to_string(h.version) + " is too old";
    if (h.version > NEWEST_VERSION)
        return "snapshot version " + std::to_string(h.version) + " is newer than " + std::to_string(NEWEST_VERSION);
    h.interfaceKind = in.u1();
    if (h.version >= 14) {
        h.fullJvmti11 = in.u1();
        h.restrictedJvmti11 = h.version >= 31 ? in.u1() : h.fullJvmti11;
        h.vmName = in.string();
        h.vmVersion = in.string();
    }
    h.allocTreeRecordingType = in.u4();
    h.snapshotTime = in.jlong();
    h.idSize = in.u4();
    h.vmStartTime = in.jlong();
    h.allUrls = in.u1();
    h.callTreeCollectionMethod = in.u4();
    if (h.version >= 23) {
        h.exceptionalCap = in.u4();
        h.exceptionalTimeType = in.u4();
    }
    if (h.version >= 25)
        h.arrayAllocationsRecorded = in.u1();
    if (h.version >= 26) {
        h.wallClockTime = in.jlong();
        h.vmStartWallClockTime = in.jlong();
    }
    if (h.version >= 36)
        h.vmIdentifier = in.jlong();

    std::vector<SnapshotSection> table(SECTION_COUNT);
    for (SnapshotSection &s : table) {
        s.length = h.version <= 13 ? in.u4() : static_cast<uint64_t>(in.jlong());
        if (h.version >= 36)
            s.position = in.jlong();
        s.crc = in.u4();
    }
    if (in.failed)
        return "snapshot ends in its header or section table";
    if (h.idSize != 4 && h.idSize != 8)
        return "snapshot ID size " + std::to_string(h.idSize) + " is neither 4 nor 8";
    header_ = h;
    sections_ = table;
    return std::string();
}

std::string SnapshotFile::verifySections()
{
    if (!gz_)
        return "no snapshot open";
    if (header_.version < 36)
        return std::string();
    gzFile gz = static_cast<gzFile>(gz_);
    std::vector<uint8_t> chunk(CHUNK);
    for (size_t i = 0; i < sections_.size(); i++) {
        SnapshotSection &s = sections_[i];
        if (s.length == 0)
            continue;
        std::string where = "section " + std::to_string(i);
        if (s.position < 0 || gzseek(gz, static_cast<z_off_t>(s.position), SEEK_SET) != s.position)
            return where + ": cannot seek to its position";
        GzFields in(gz);
        if (in.u4() != frontendProtocol::MAGIC || in.failed)
            return where + ": magic number error";
        uLong crc = crc32(0L, Z_NULL, 0);
        for (uint64_t left = s.length; left > 0;) {
            size_t part = left < CHUNK ? static_cast<size_t>(left) : CHUNK;
            if (!in.bytes(chunk.data(), part))
                return where + ": ends early";
            crc = crc32(crc, chunk.data(), static_cast<uInt>(part));
            left -= part;
        }
        if (static_cast<uint32_t>(crc) != s.crc) {
            char text[96];
            snprintf(text, sizeof text, ": crc error: 0x%08X, 0x%08X", s.crc, static_cast<uint32_t>(crc));
            return where + text;
        }
        s.verified = true;
    }
    return std::string();
}

std::string SnapshotFile::readTrailer()
{
    trailer_ = SnapshotTrailer();
    if (!gz_)
        return "no snapshot open";
    if (header_.version < 36)
        return std::string();
    int64_t end = -1;
    for (const SnapshotSection &s : sections_)
        if (s.length > 0 && s.position >= 0 && s.position + 4 + static_cast<int64_t>(s.length) > end)
            end = s.position + 4 + static_cast<int64_t>(s.length);
    if (end < 0)
        return "no section to find the end of the stream by";
    gzFile gz = static_cast<gzFile>(gz_);
    if (gzseek(gz, static_cast<z_off_t>(end), SEEK_SET) != end)
        return "cannot seek to the end of the stream";
    GzFields in(gz);
    uint8_t marker = in.u1();
    if (in.failed)
        return std::string(); // a bare stream
    if (marker != 1)
        return "trailer begins with byte " + std::to_string(marker);
    SnapshotTrailer t;
    t.configId = in.u4();
    uint32_t length = in.u4();
    // read the text in pieces so that a damaged length cannot ask for gigabytes up front
    std::vector<char> piece(CHUNK);
    while (!in.failed && t.configXml.size() < length) {
        size_t part = std::min<size_t>(CHUNK, length - t.configXml.size());
        if (in.bytes(piece.data(), part))
            t.configXml.append(piece.data(), part);
    }
    t.secondsRunning = in.u4();
    if (in.failed)
        return "trailer ends early";
    t.present = true;
    trailer_ = t;
    return std::string();
}
