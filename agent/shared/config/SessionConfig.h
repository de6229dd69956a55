#ifndef KVR_AGENT_SHARED_CONFIG_SESSIONCONFIG_H
#define KVR_AGENT_SHARED_CONFIG_SESSIONCONFIG_H

#include "AnnotationMethodAndClass.h"
#include "ConfigFileState.h"
#include "FilterConfig.h"

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class DataReader;
class DataWriter;

// The settings of one profiling session, read from the front end's XML document: the `session`
// element whose `id` matches, with its filters, probe switches and method lists. The document
// itself is kept (a private temporary copy of a file, or the received text) to be sent back.
class SessionConfig {
public:
    // The id that accepts a document without a matching session.
    static constexpr int ANY_ID = -12345;
    static constexpr int MAX_ANNOTATION_TYPES = 128;

    using MethodSet = std::unordered_set<AnnotationMethodAndClass, AnnotationMethodAndClass::Hash>;

    // What went wrong while reading; the agent prints `message` and ends the process with -1,
    // after printing the document too when `showDocument` is set.
    struct ReadError {
        std::string message;
        bool showDocument = false;
        bool failed() const { return !message.empty(); }
    };

    SessionConfig();
    // Copies every setting and filter; the copy has no document of its own.
    SessionConfig(const SessionConfig &other);
    SessionConfig &operator=(const SessionConfig &) = delete;
    ~SessionConfig();

    // Reads session `id` from the file at `path`, keeping a private copy of it under $TMPDIR
    // (prefix "ovc"). On success the configuration is marked read and applied.
    ReadError readFromFile(const std::string &path, int id);
    // Reads session `id` from a document received from the front end (command 1), which is kept.
    ReadError readFromText(int id, const std::string &xml);

    // Reads a configuration sent by the front end: U4 id, U4 length, the document's bytes
    // and, when the document was accepted, a trailing string that is not used. A stream that
    // ends early is an error; nothing larger than the stream is allocated up front.
    ReadError read(DataReader *reader);
    // Writes U4 id, U4 length and the kept document (the received text, or the file read
    // back). Returns an empty string, or the reason nothing but the id could be written; the
    // length is then 0.
    std::string writeConfigFile(DataWriter *writer) const;

    // Once read and applied: the received text (null for a file), the kept path (null when
    // none) and the id. Otherwise null, null and 0. The pointers live as long as this object.
    void getXmlConfig(const char **xml, const char **path, int *id) const;
    // The kept document's bytes, for sending it back. Returns an empty string, or
    // "Could not open config file: <path>".
    std::string loadDocument(std::string *bytes) const;
    // Removes the temporary copy of a file, if there is one.
    void deleteTempFile();

    const FilterConfig &getFilterConfig() const { return *filterConfig_; }
    // Null before a document was read and in copies.
    const ConfigFileState *getConfigFileState() const { return fileState_.get(); }
    bool isProbeEnabled(int type) const;
    // Notes that do not stop the reading (an unknown probe type, a bad number); the agent
    // prints them.
    const std::vector<std::string> &getMessages() const { return messages_; }

    // Attributes of the `session` element.
    bool disableCPUProfiling = false;
    bool showSubclassMethods = false;
    int timeType = 1;
    int instrumentationType = 3;
    bool lineNumbers = false;
    bool samplingPayloadCallStacks = false;
    int samplingFrequency = 5;
    bool vmCannotExit = false;
    bool chronoHeap = true;
    bool recordArrayAlloc = true;
    bool showSystemThreads = false;
    bool allUrls = false;
    bool autoTuneInstrumentation = true;
    int autoTuneMinPerMille = 10;
    int autoTuneMaxAverage = 100;
    int exceptionalCap = 5;
    int exceptionalTimeType = 4;
    bool recordCPUOnStartup = false;
    bool recordAllocOnStartup = false;
    bool enableTriggersOnStartup = true;
    int allocTreeRecordingType = 1;
    bool componentDetection = true;
    bool utilConcurrentHandling = true;

    unsigned char probeSwitches[MAX_ANNOTATION_TYPES] = {};
    MethodSet probeMethods;
    MethodSet exceptionalMethods;
    MethodSet ignoredMethods;
    bool sessionRead = false;
    bool applied = false;

private:
    friend class SessionConfigParser;

    void startElement(const char *name, const char **attributes);
    void endElement(const char *name);
    void readSessionAttributes(const char **attributes);
    void readFilter(const char **attributes);
    void readProbe(const char **attributes);
    void readMethod(const char **attributes);
    int intAttribute(const char **attributes, const char *name, int absent);

    std::unique_ptr<FilterConfig> filterConfig_;
    std::unique_ptr<ConfigFileState> fileState_;
    std::vector<std::string> messages_;
};

#endif
