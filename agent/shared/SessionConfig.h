#ifndef AGENT_SESSIONCONFIG_H
#define AGENT_SESSIONCONFIG_H

#include <string>

// Settings of one profiling session, from the configuration file or the
// front end. Start-up needs the values below; the XML reading fills them.
class SessionConfig {
public:
    bool disableCPUProfiling = false;
    bool showSubclassMethods = false;
    int timeType = 1;
    int instrumentationType = 3;
    int samplingFrequency = 5;
    bool chronoHeap = true;
    bool recordArrayAlloc = true;
    bool allUrls = false;
    int exceptionalCap = 5;
    int exceptionalTimeType = 4;
    int allocTreeRecordingType = 1;
    // A matching session was read; the live session has taken it.
    bool sessionRead = false;
    bool applied = false;

    // Reads session `id` from the XML file at path. Returns false, leaving the
    // settings as they are, when the file cannot be read.
    bool readFromFile(const std::string &path, int id);

    const std::string &getPath() const { return path; }
    int getId() const { return id; }

private:
    std::string path;
    int id = -1;
};

#endif
