#include "SessionConfig.h"

#include "DataReader.h"
#include "DataWriter.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expat.h>
#include <unistd.h>

namespace {

constexpr size_t BLOCK = 8192;
// expat takes an int length; received documents are fed in pieces below that.
constexpr size_t MAX_PIECE = 1u << 30;

const char *attribute(const char **attributes, const char *name)
{
    for (const char **a = attributes; a && a[0]; a += 2)
        if (strcmp(a[0], name) == 0)
            return a[1];
    return nullptr;
}

bool boolAttribute(const char **attributes, const char *name, bool absent)
{
    const char *value = attribute(attributes, name);
    return value ? strcmp(value, "true") == 0 : absent;
}

bool parseWholeNumber(const char *text, long long *out)
{
    char *end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    *out = value;
    return true;
}

struct NamedProbe {
    const char *name;
    int type;
};

const NamedProbe NAMED_PROBES[] = {
    {"builtin.JdbcProbe", 1},
    {"builtin.JmsProbe", 2},
    {"builtin.JndiProbe", 3},
    {"builtin.ServletProbe", 4},
    {"builtin.ClassProbe", 5},
    {"builtin.ThreadInterceptor", 6},
    {"builtin.TriggerInterceptor", 7},
    {"builtin.ExceptionalMethodInterceptor", 8},
    {"builtin.TrackingInterceptor", 9},
    {"builtin.FileProbe", 10},
    {"builtin.SocketProbe", 11},
    {"builtin.ProcessProbe", 12},
    {"builtin.RmiProbe", 32},
    {"builtin.WsProbe", 33},
};

const char *const PERSISTENCE_PROBE = "builtin.PersistenceProbe";
constexpr int PERSISTENCE_TYPE = 14;
// The persistence probe switches one probe type per persistence provider it was told about.
const NamedProbe PERSISTENCE_PROVIDERS[] = {
    {"hibernate3", 14},
    {"hibernate4", 15},
    {"eclipseLink23", 16},
    {"openJpa21", 17},
};

std::string privateTempPath(const char *prefix, FILE **file)
{
    const char *base = getenv("TMPDIR");
    std::string path = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    int fd = mkstemp(&path[0]); // mode 0600
    if (fd < 0)
        return std::string();
    *file = fdopen(fd, "wb");
    if (!*file) {
        close(fd);
        unlink(path.c_str());
        return std::string();
    }
    return path;
}

} // namespace

// Owns one expat parser that calls back into a SessionConfig.
class SessionConfigParser {
public:
    explicit SessionConfigParser(SessionConfig *config) : parser_(XML_ParserCreate(nullptr))
    {
        XML_SetUserData(parser_, config);
        XML_SetElementHandler(parser_, &SessionConfigParser::start, &SessionConfigParser::end);
    }
    ~SessionConfigParser() { XML_ParserFree(parser_); }
    SessionConfigParser(const SessionConfigParser &) = delete;
    SessionConfigParser &operator=(const SessionConfigParser &) = delete;

    bool feed(const char *data, size_t length, bool final)
    {
        return XML_Parse(parser_, data, static_cast<int>(length), final ? 1 : 0) != XML_STATUS_ERROR;
    }
    const char *errorText() const { return XML_ErrorString(XML_GetErrorCode(parser_)); }
    int line() const { return static_cast<int>(XML_GetCurrentLineNumber(parser_)); }

private:
    static void XMLCALL start(void *data, const XML_Char *name, const XML_Char **attributes)
    {
        static_cast<SessionConfig *>(data)->startElement(name, attributes);
    }
    static void XMLCALL end(void *data, const XML_Char *name)
    {
        static_cast<SessionConfig *>(data)->endElement(name);
    }

    XML_Parser parser_;
};

SessionConfig::SessionConfig() : filterConfig_(new FilterConfig) {}

SessionConfig::SessionConfig(const SessionConfig &other)
    : disableCPUProfiling(other.disableCPUProfiling), showSubclassMethods(other.showSubclassMethods),
      timeType(other.timeType), instrumentationType(other.instrumentationType), lineNumbers(other.lineNumbers),
      samplingPayloadCallStacks(other.samplingPayloadCallStacks), samplingFrequency(other.samplingFrequency),
      vmCannotExit(other.vmCannotExit), chronoHeap(other.chronoHeap), recordArrayAlloc(other.recordArrayAlloc),
      showSystemThreads(other.showSystemThreads), allUrls(other.allUrls),
      autoTuneInstrumentation(other.autoTuneInstrumentation), autoTuneMinPerMille(other.autoTuneMinPerMille),
      autoTuneMaxAverage(other.autoTuneMaxAverage), exceptionalCap(other.exceptionalCap),
      exceptionalTimeType(other.exceptionalTimeType), recordCPUOnStartup(other.recordCPUOnStartup),
      recordAllocOnStartup(other.recordAllocOnStartup), enableTriggersOnStartup(other.enableTriggersOnStartup),
      allocTreeRecordingType(other.allocTreeRecordingType), componentDetection(other.componentDetection),
      utilConcurrentHandling(other.utilConcurrentHandling), probeMethods(other.probeMethods),
      exceptionalMethods(other.exceptionalMethods), ignoredMethods(other.ignoredMethods),
      sessionRead(other.sessionRead), applied(other.applied), filterConfig_(new FilterConfig(*other.filterConfig_)),
      messages_(other.messages_)
{
    memcpy(probeSwitches, other.probeSwitches, sizeof probeSwitches);
}

SessionConfig::~SessionConfig() = default;

SessionConfig::ReadError SessionConfig::readFromFile(const std::string &path, int id)
{
    fileState_.reset(new ConfigFileState(id));
    filterConfig_.reset(new FilterConfig);
    ReadError error;

    FILE *in = fopen(path.c_str(), "rb");
    if (!in) {
        error.message = "Could not open config file: " + path;
        return error;
    }
    FILE *copy = nullptr;
    std::string copyPath = privateTempPath("ovc", &copy);

    SessionConfigParser parser(this);
    char block[BLOCK];
    bool parsed = true;
    for (;;) {
        size_t n = fread(block, 1, sizeof block, in);
        if (n > 0 && !parser.feed(block, n, false)) {
            parsed = false;
            break;
        }
        if (copy && n > 0 && fwrite(block, 1, n, copy) != n) {
            fclose(copy);
            copy = nullptr;
            unlink(copyPath.c_str());
            copyPath.clear();
        }
        if (n < sizeof block)
            break;
    }
    bool readFailed = ferror(in) != 0;
    fclose(in);
    // The final call is made whatever the file's size, so that a document cut short at a
    // block boundary is still reported.
    if (parsed && !readFailed)
        parsed = parser.feed(nullptr, 0, true);
    if (copy && fclose(copy) != 0) {
        unlink(copyPath.c_str());
        copyPath.clear();
    }
    fileState_->path = copyPath.empty() ? path : copyPath;
    fileState_->pathIsTemporary = !copyPath.empty();

    if (readFailed)
        error.message = "Could not read config file: " + path;
    else if (!parsed)
        error.message = std::string(parser.errorText()) + " at line " + std::to_string(parser.line());
    else if (!fileState_->sessionFound && id != ANY_ID)
        error.message = "Could not find session with id: " + std::to_string(id);
    if (error.failed()) {
        deleteTempFile();
        return error;
    }
    applied = true;
    sessionRead = true;
    return error;
}

SessionConfig::ReadError SessionConfig::readFromText(int id, const std::string &xml)
{
    fileState_.reset(new ConfigFileState(id));
    filterConfig_.reset(new FilterConfig);
    fileState_->xmlText = xml;
    fileState_->hasXmlText = true;
    ReadError error;

    SessionConfigParser parser(this);
    bool parsed = true;
    for (size_t done = 0; parsed && done < xml.size(); done += MAX_PIECE)
        parsed = parser.feed(xml.data() + done, std::min(MAX_PIECE, xml.size() - done), false);
    if (parsed)
        parsed = parser.feed(nullptr, 0, true);
    if (!parsed) {
        error.message = std::string(parser.errorText()) + " at line " + std::to_string(parser.line()) + " (" +
                        std::to_string(id) + ", " + std::to_string(xml.size()) + ")";
        error.showDocument = true;
    } else if (!fileState_->sessionFound && id != ANY_ID) {
        error.message = "Could not find session with id: " + std::to_string(id);
    }
    return error;
}

SessionConfig::ReadError SessionConfig::read(DataReader *reader)
{
    int id = static_cast<int>(reader->readU4(0));
    uint32_t length = reader->readU4(0);
    std::string xml;
    char piece[BLOCK];
    while (!reader->getError() && xml.size() < length) {
        int want = static_cast<int>(std::min<size_t>(sizeof piece, length - xml.size()));
        int got = reader->readFully(piece, want);
        xml.append(piece, static_cast<size_t>(got > 0 ? got : 0));
        if (got < want)
            break;
    }
    if (reader->getError() || xml.size() < length) {
        ReadError error;
        error.message = "Configuration cut short: " + std::to_string(xml.size()) + " of " + std::to_string(length) + " bytes";
        return error;
    }
    ReadError error = readFromText(id, xml);
    if (!error.failed())
        delete[] reader->readString(nullptr);
    return error;
}

std::string SessionConfig::writeConfigFile(DataWriter *writer) const
{
    std::string bytes;
    std::string problem = loadDocument(&bytes);
    writer->writeU4(static_cast<uint32_t>(fileState_ ? fileState_->id : 0));
    writer->writeU4(static_cast<uint32_t>(bytes.size()));
    writer->writeBuffered(bytes.data(), static_cast<int>(bytes.size()));
    return problem;
}

void SessionConfig::getXmlConfig(const char **xml, const char **path, int *id) const
{
    bool have = fileState_ && sessionRead && applied;
    *xml = have && fileState_->hasXmlText ? fileState_->xmlText.c_str() : nullptr;
    *path = have && !fileState_->path.empty() ? fileState_->path.c_str() : nullptr;
    *id = have ? fileState_->id : 0;
}

std::string SessionConfig::loadDocument(std::string *bytes) const
{
    bytes->clear();
    if (!fileState_)
        return "Could not open config file: (none)";
    if (fileState_->hasXmlText) {
        *bytes = fileState_->xmlText;
        return std::string();
    }
    FILE *in = fopen(fileState_->path.c_str(), "rb");
    if (!in)
        return "Could not open config file: " + fileState_->path;
    char block[BLOCK];
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0)
        bytes->append(block, n);
    fclose(in);
    return std::string();
}

void SessionConfig::deleteTempFile()
{
    if (!fileState_ || !fileState_->pathIsTemporary)
        return;
    unlink(fileState_->path.c_str());
    fileState_->path.clear();
    fileState_->pathIsTemporary = false;
}

bool SessionConfig::isProbeEnabled(int type) const
{
    return type >= 0 && type < MAX_ANNOTATION_TYPES && probeSwitches[type] != 0;
}

int SessionConfig::intAttribute(const char **attributes, const char *name, int absent)
{
    const char *value = attribute(attributes, name);
    if (!value)
        return absent;
    long long number;
    if (!parseWholeNumber(value, &number) || number < INT_MIN || number > INT_MAX) {
        messages_.push_back(std::string("Ignoring ") + name + "=\"" + value + "\": not a number.");
        return absent;
    }
    return static_cast<int>(number);
}

void SessionConfig::startElement(const char *name, const char **attributes)
{
    ConfigFileState &state = *fileState_;
    if (strcmp(name, "session") == 0) {
        const char *idText = attribute(attributes, "id");
        long long sessionId;
        if (parseWholeNumber(idText ? idText : "-1", &sessionId) && sessionId == state.id) {
            state.sessionFound = true;
            state.inMatchingSession = true;
            sessionRead = true;
            readSessionAttributes(attributes);
        }
        return;
    }
    if (!state.inMatchingSession)
        return;
    if (strcmp(name, "filter") == 0)
        readFilter(attributes);
    else if (strcmp(name, "probe") == 0)
        readProbe(attributes);
    else if (strcmp(name, "methodInvocation") == 0)
        state.inMethodInvocation = true;
    else if (strcmp(name, "customProbe") == 0)
        state.inCustomProbe = true;
    else if (strcmp(name, "exceptionalMethods") == 0)
        state.inExceptionalMethods = true;
    else if (strcmp(name, "ignoredMethods") == 0)
        state.inIgnoredMethods = true;
    else if (strcmp(name, "method") == 0)
        readMethod(attributes);
}

void SessionConfig::endElement(const char *name)
{
    ConfigFileState &state = *fileState_;
    if (strcmp(name, "session") == 0)
        state.inMatchingSession = false;
    else if (strcmp(name, "methodInvocation") == 0)
        state.inMethodInvocation = false;
    else if (strcmp(name, "customProbe") == 0)
        state.inCustomProbe = false;
    else if (strcmp(name, "exceptionalMethods") == 0)
        state.inExceptionalMethods = false;
    else if (strcmp(name, "ignoredMethods") == 0)
        state.inIgnoredMethods = false;
}

// An attribute that is absent takes the default below, which is not always the default of a
// fresh configuration (timeType, for one, becomes 0).
void SessionConfig::readSessionAttributes(const char **a)
{
    disableCPUProfiling = boolAttribute(a, "disableCPUProfiling", false);
    showSubclassMethods = boolAttribute(a, "showSubclassMethods", false);
    timeType = intAttribute(a, "timeType", 0);
    instrumentationType = intAttribute(a, "instrumentationType", 0);
    lineNumbers = boolAttribute(a, "lineNumbers", false);
    samplingPayloadCallStacks = boolAttribute(a, "samplingPayloadCallStacks", false);
    samplingFrequency = intAttribute(a, "samplingFrequency", 5);
    vmCannotExit = boolAttribute(a, "vmCannotExit", false);
    chronoHeap = boolAttribute(a, "chronoHeap", false);
    recordArrayAlloc = boolAttribute(a, "recordArrayAlloc", false);
    showSystemThreads = boolAttribute(a, "showSystemThreads", false);
    allUrls = boolAttribute(a, "allUrls", false);
    autoTuneInstrumentation = boolAttribute(a, "autoTuneInstrumentation", true);
    autoTuneMinPerMille = intAttribute(a, "autoTuneMinPerMille", 10);
    autoTuneMaxAverage = intAttribute(a, "autoTuneMaxAverage", 100);
    exceptionalCap = intAttribute(a, "exceptionalCap", 5);
    exceptionalTimeType = intAttribute(a, "exceptionalTimeType", 4);
    recordCPUOnStartup = boolAttribute(a, "recordCPUOnStartup", false);
    recordAllocOnStartup = boolAttribute(a, "recordAllocOnStartup", false);
    enableTriggersOnStartup = boolAttribute(a, "enableTriggersOnStartup", false);
    allocTreeRecordingType = intAttribute(a, "allocTreeRecordingType", 1);
    componentDetection = boolAttribute(a, "componentDetection", false);
    utilConcurrentHandling = boolAttribute(a, "utilConcurrentHandling", false);
    if (instrumentationType == 3 && boolAttribute(a, "samplingNoFilters", false))
        fileState_->filtersSuppressed = true;
}

void SessionConfig::readFilter(const char **attributes)
{
    if (fileState_->filtersSuppressed)
        return;
    const char *type = attribute(attributes, "type");
    bool inclusive = type && strcmp(type, "inclusive") == 0;
    if (filterConfig_->getFilters().empty())
        filterConfig_->setFilterInclusive(inclusive);
    // Trim before marking the other kind: a name of only white space must add nothing, not a
    // lone "-" that would turn the meaning of the whole list around.
    FilterConfig trimmed;
    const char *name = attribute(attributes, "name");
    trimmed.addFilter(name ? name : "");
    if (trimmed.getFilters().empty())
        return;
    const std::string &text = trimmed.getFilters().front();
    filterConfig_->addFilter(inclusive == filterConfig_->isFilterInclusive() ? text : "-" + text);
}

void SessionConfig::readProbe(const char **attributes)
{
    if (!boolAttribute(attributes, "enabled", false))
        return;
    const char *nameText = attribute(attributes, "name");
    std::string name = nameText ? nameText : "";
    for (const NamedProbe &probe : NAMED_PROBES) {
        if (name == probe.name) {
            probeSwitches[probe.type] = 1;
            return;
        }
    }
    long long type = 0;
    const char *typeText = attribute(attributes, "type");
    if (typeText && !parseWholeNumber(typeText, &type)) {
        messages_.push_back("Ignoring probe " + name + " of type \"" + typeText + "\": not a number.");
        return;
    }
    type = type == LLONG_MIN ? LLONG_MAX : llabs(type);
    if (name == PERSISTENCE_PROBE || type == PERSISTENCE_TYPE) {
        for (const NamedProbe &provider : PERSISTENCE_PROVIDERS)
            if (boolAttribute(attributes, provider.name, false))
                probeSwitches[provider.type] = 1;
        return;
    }
    if (type >= MAX_ANNOTATION_TYPES) {
        long long shown = type > INT_MAX ? INT_MAX : type;
        messages_.push_back("Could not set annotation " + std::to_string(shown) +
                            ". Please raise MAX_ANNOTATION_TYPES");
        return;
    }
    probeSwitches[type] = 1;
}

void SessionConfig::readMethod(const char **attributes)
{
    const ConfigFileState &state = *fileState_;
    MethodSet *target = nullptr;
    if (state.inMethodInvocation || state.inCustomProbe)
        target = &probeMethods;
    else if (state.inIgnoredMethods)
        target = &ignoredMethods;
    else if (state.inExceptionalMethods)
        target = &exceptionalMethods;
    if (!target)
        return;
    const char *className = attribute(attributes, "className");
    const char *methodName = attribute(attributes, "methodName");
    if (!className || !methodName) {
        messages_.push_back("Ignoring a method element without className or methodName.");
        return;
    }
    const char *signature = attribute(attributes, "signature");
    std::string pattern = strcmp(methodName, "*") == 0 ? "*" : (signature ? signature : "");
    target->insert(AnnotationMethodAndClass(className, methodName, pattern));
}
