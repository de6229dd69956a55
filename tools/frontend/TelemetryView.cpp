#include "TelemetryView.h"

#include "WireReader.h"

const char *const TelemetryView::SERIES_NAMES[12] = {
    "classes", "filtered classes", "objects", "arrays", "memory1 KB", "memory2 KB",
    "runnable", "waiting", "blocked", "net I/O", "freed", "created",
};

bool TelemetryView::readTelemetryReply(const std::vector<uint8_t> &body, TelemetryReply *out)
{
    WireReader reader(body);
    *out = TelemetryReply();
    uint32_t descriptions = reader.readU4();
    for (uint32_t i = 0; i < descriptions && !reader.error(); i++) {
        TelemetryReply::Description d;
        d.type = reader.readU4();
        d.name = reader.readString();
        d.value = reader.readJLong();
        out->descriptions.push_back(d);
    }
    uint32_t samples = reader.readU4();
    out->customSeries = reader.readU4();
    for (uint32_t i = 0; i < samples && !reader.error(); i++) {
        TelemetryReply::Sample s;
        s.timeUsec = reader.readJLong();
        for (int32_t &v : s.standard)
            v = static_cast<int32_t>(reader.readU4());
        for (uint32_t c = 0; c < out->customSeries && !reader.error(); c++)
            s.custom.push_back(static_cast<int32_t>(reader.readU4()));
        out->samples.push_back(s);
    }
    uint32_t bookmarks = reader.readU4();
    for (uint32_t i = 0; i < bookmarks && !reader.error(); i++) {
        int64_t time = reader.readJLong();
        out->bookmarks.emplace_back(time, reader.readString());
    }
    return !reader.error() && reader.remaining() == 0;
}

std::string TelemetryView::format(const TelemetryReply &telemetry)
{
    std::string text;
    for (const TelemetryReply::Description &d : telemetry.descriptions)
        text += "  series \"" + d.name + "\" type " + std::to_string(d.type) + "\n";
    for (const TelemetryReply::Sample &s : telemetry.samples) {
        text += "  " + std::to_string(s.timeUsec / 1000) + " ms:";
        for (int i = 0; i < 12; i++)
            text += std::string(i == 0 ? " " : ", ") + SERIES_NAMES[i] + " " + std::to_string(s.standard[i]);
        for (int32_t v : s.custom)
            text += ", " + std::to_string(v);
        text += "\n";
    }
    for (const auto &b : telemetry.bookmarks)
        text += "  bookmark at " + std::to_string(b.first / 1000) + " ms: " + b.second + "\n";
    return text;
}
