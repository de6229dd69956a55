#ifndef KVR_TOOLS_FRONTEND_TELEMETRYVIEW_H
#define KVR_TOOLS_FRONTEND_TELEMETRYVIEW_H

#include <cstdint>
#include <string>
#include <vector>

// The VM telemetry as the agent sends it (command 22) and writes it into
// snapshots: descriptions of the custom series (only after they changed),
// samples with twelve standard series and the custom values, bookmarks.
struct TelemetryReply {
    struct Description {
        uint32_t type = 0;
        std::string name;
        int64_t value = 0;
    };
    struct Sample {
        int64_t timeUsec = 0;
        int32_t standard[12] = {};
        std::vector<int32_t> custom;
    };
    std::vector<Description> descriptions;
    uint32_t customSeries = 0;
    std::vector<Sample> samples;
    std::vector<std::pair<int64_t, std::string>> bookmarks;
};

class TelemetryView {
public:
    // The series in the order of a sample.
    static const char *const SERIES_NAMES[12];
    // False when the body is cut short or longer than the form.
    static bool readTelemetryReply(const std::vector<uint8_t> &body, TelemetryReply *out);
    // One line per sample, then the bookmarks.
    static std::string format(const TelemetryReply &telemetry);
};

#endif
