#include "AgentOptions.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MessageUtil.h"

namespace {

const int MAX_PORT = 65535;
// Every recording thread holds a method stack of `stack` entries, and a
// thread dump asks the VM for `samplingstack` frames per thread: a depth
// beyond this would make each thread's allocation unbounded.
const int MAX_STACK_DEPTH = 1000000;

// A flag token: the exact text, the switch it sets and its log line.
struct FlagOption {
    const char *token;
    bool AgentOptions::*field;
    const char *message;
};

// Numeric prefix tokens: the value is applied only when it is a decimal
// number from 1 to the limit. Any other value is refused with a line that
// names the option, and the field keeps what it had.
struct NumberOption {
    const char *prefix;
    int AgentOptions::*field;
    int limit;
    const char *message; // "%d" of the value, or null
};

// Text prefix tokens.
struct TextOption {
    const char *prefix;
    std::string AgentOptions::*field;
};

const NumberOption numberOptions[] = {
    {"port=", &AgentOptions::port, MAX_PORT, nullptr},
    {"samplingstack=", &AgentOptions::samplingstack, MAX_STACK_DEPTH, "Setting sampling stack size to %d."},
    {"stack=", &AgentOptions::stack, MAX_STACK_DEPTH, "Setting stack size to %d."},
    {"id=", &AgentOptions::id, INT_MAX, nullptr},
};

const FlagOption flagOptions[] = {
    {"nowait", &AgentOptions::nowait, "Don't wait for frontend to connect."},
    {"jniInterception", &AgentOptions::jniInterception, nullptr},
    {"offline", &AgentOptions::offline, "Offline profiling mode."},
    {"verbose-instr", &AgentOptions::verboseInstrumentation, "Verbose instrumentation."},
    {"save-all-classes", &AgentOptions::saveAllClasses, "Saving all classes."},
    {"save-instr-classes", &AgentOptions::saveInstrumentedClasses, "Saving instrumented classes."},
    {"strict-method-stats", &AgentOptions::strictMethodStats, "Strict method statistics."},
    {"no-array-allocs", &AgentOptions::noArrayAllocs, "Don't instrument array allocations."},
    {"disable-native-instrumentation", &AgentOptions::disableNativeInstrumentation, "Disabling instrumentation of native methods."},
    {"disable-thread-profiling", &AgentOptions::disableThreadProfiling, "Disabling thread profiling."},
    {"record-thread-name-changes", &AgentOptions::recordThreadNameChanges, "Recording thread name changes."},
    {"disable-monitor-class-info", &AgentOptions::disableMonitorClassInfo, "Disable monitor class info."},
    {"disable-monitor-owner-info", &AgentOptions::disableMonitorOwnerInfo, "Disable monitor owner info."},
    {"orvane-threads", &AgentOptions::showOrvaneThreads, "Showing Orvane threads."},
    {"sample-agent", &AgentOptions::sampleAgentClasses, "Sample agent classes."},
    {"instrument-jre", &AgentOptions::instrumentJre, "Instrument JRE classes."},
    {"keep-temp-snapshots", &AgentOptions::keepTempSnapshots, "Keeping temp snapshots."},
    {"test-dead-tree", &AgentOptions::testDeadTree, "Testing dead tree."},
};

const TextOption textOptions[] = {
    {"address=", &AgentOptions::address},
};

// Options of older releases that the front end now sets.
const char *const legacyTokens[] = {"estimatedcputimes", "fullinstr", "subclassmethods", "noexit"};
const char *const legacyPrefix = "calltreecollection=";

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// A decimal number made of digits only, within [1, limit]; else 0.
int positiveNumber(const char *text, int limit)
{
    if (*text == '\0')
        return 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return 0;
    }
    errno = 0;
    long value = strtol(text, nullptr, 10);
    if (errno != 0 || value <= 0 || value > limit)
        return 0;
    return static_cast<int>(value);
}

void logLocateHint()
{
    MessageUtil::message("If you are running Orvane's frontend on a different");
    MessageUtil::message("machine you have to copy the file config.xml to this");
    MessageUtil::message("computer. The file is located in $HOME/.orvane7 or");
    MessageUtil::message("in C:\\Documents and Settings\\[username]\\.orvane7.");
}

} // namespace

void AgentOptions::parse(const char *options)
{
    if (options == nullptr)
        return;
    // Split a copy: the VM's option buffer stays as it was handed to us.
    std::string all(options);
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos)
            comma = all.size();
        std::string token = all.substr(start, comma - start);
        start = comma + 1;
        if (token.empty())
            continue;
        if (token == "monitor") {
            monitor = true;
            return;
        }
        applyToken(token);
    }
    if (refusedCount > 0) {
        // Whichever number was mistyped, the agent would not run as asked:
        // it serves no port and reads no session. A waiting VM then ends
        // because it cannot listen; a nowait VM runs its program unprofiled.
        port = NO_PORT;
        id = NO_CONFIG_ID;
    }
}

void AgentOptions::applyToken(const std::string &token)
{
    if (startsWith(token, "loc=")) {
        libraryLocation = token.substr(4);
        return;
    }
    for (const NumberOption &o : numberOptions) {
        if (!startsWith(token, o.prefix))
            continue;
        int value = positiveNumber(token.c_str() + strlen(o.prefix), o.limit);
        if (value <= 0) {
            MessageUtil::message("ERROR: Option %s refused: not a number from 1 to %d.", token.c_str(), o.limit);
            refusedCount++;
            return;
        }
        this->*o.field = value;
        if (o.message != nullptr)
            MessageUtil::message(o.message, value);
        return;
    }
    for (const FlagOption &o : flagOptions) {
        if (token != o.token)
            continue;
        this->*o.field = true;
        if (o.message != nullptr)
            MessageUtil::message("%s", o.message);
        return;
    }
    for (const TextOption &o : textOptions) {
        if (startsWith(token, o.prefix)) {
            this->*o.field = token.substr(strlen(o.prefix));
            return;
        }
    }
    if (startsWith(token, "config=")) {
        configPath = token.substr(7);
        hasConfigPath = true;
        return;
    }
    bool legacy = startsWith(token, legacyPrefix);
    for (const char *t : legacyTokens)
        legacy = legacy || token == t;
    if (legacy) {
        MessageUtil::message("Remote profiling has been changed.");
        MessageUtil::message("The parameter '%s' will be ignored.", token.c_str());
        MessageUtil::message("Please set the parameter in the frontend.");
        return;
    }
    unknownCount++;
    MessageUtil::message("Unknown parameter %s, ignored.", token.c_str());
}

AgentOptions::ConfigDecision AgentOptions::resolveConfiguration(bool fullJvmti11, bool attached)
{
    if (!offline && !nowait && !attached)
        return CONFIG_NONE;
    bool required = configRequired(fullJvmti11) || (attached && !fullJvmti11);
    if (!hasConfigPath) {
        const char *home = getenv("HOME");
        configPath = std::string(home != nullptr ? home : "") + "/.orvane7/config.xml";
        FILE *probe = home != nullptr ? fopen(configPath.c_str(), "r") : nullptr;
        if (probe != nullptr) {
            fclose(probe);
        } else {
            configPath.clear();
            if (required) {
                MessageUtil::message("Could not locate the config file.");
                MessageUtil::message("Please specify config=[config filename].");
                logLocateHint();
                return CONFIG_MISSING;
            }
        }
    }
    if (id == NO_CONFIG_ID) {
        if (required) {
            MessageUtil::message("Please specify id=[config id]");
            logLocateHint();
            return CONFIG_MISSING;
        }
        MessageUtil::message("Starting up without initial configuration.");
        return CONFIG_NONE;
    }
    if (configPath.empty()) {
        MessageUtil::message("Starting up without initial configuration.");
        return CONFIG_NONE;
    }
    MessageUtil::message("Using config file %s (id: %d)", configPath.c_str(), id);
    return CONFIG_FROM_FILE;
}

std::string AgentOptions::scriptDirName() const
{
    size_t cut = configPath.rfind('/');
    if (cut == std::string::npos)
        cut = configPath.rfind('\\');
    std::string dir = cut == std::string::npos ? std::string() : configPath.substr(0, cut + 1);
    return dir + "classes/" + std::to_string(id);
}
