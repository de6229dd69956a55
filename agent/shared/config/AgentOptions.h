#ifndef AGENT_AGENTOPTIONS_H
#define AGENT_AGENTOPTIONS_H

#include <string>

// The option string of the agent (the text after "=" of -agentpath, the attach
// argument, or the recorder's start-up string), parsed once at start-up. Every
// recognised token logs its line through MessageUtil; an unknown token logs
// "Unknown parameter %s, ignored." once. A numeric option (port=, stack=,
// samplingstack=, id=) whose value is not a decimal number within its range
// is refused with one "ERROR: Option ..." line naming it, and any refusal
// leaves the agent without a port (NO_PORT) and without a session from the
// configuration file (NO_CONFIG_ID).
class AgentOptions {
public:
    // What start-up does about the session configuration file.
    enum ConfigDecision {
        CONFIG_NONE,      // start without initial configuration
        CONFIG_FROM_FILE, // read session `id` from `configPath`
        CONFIG_MISSING    // a required file or id is missing: exit with code -1
    };

    static constexpr int DEFAULT_PORT = 8849;
    static constexpr int DEFAULT_STACK = 10000;
    static constexpr int DEFAULT_SAMPLING_STACK = 1000;
    // Without address= the port is reachable from this machine only: it loads
    // classes a client sends and ends the VM on request.
    static constexpr const char *DEFAULT_ADDRESS = "127.0.0.1";
    static constexpr int NO_CONFIG_ID = -1;
    // The value of `port` after a numeric option was refused: nothing is
    // listened on.
    static constexpr int NO_PORT = -1;

    int port = DEFAULT_PORT;
    int stack = DEFAULT_STACK;
    int samplingstack = DEFAULT_SAMPLING_STACK;
    bool monitor = false; // the old monitoring edition was asked for: start-up aborts
    bool nowait = false;
    bool offline = false;
    bool jniInterception = false;
    bool verboseInstrumentation = false;
    bool saveAllClasses = false;
    bool saveInstrumentedClasses = false;
    bool strictMethodStats = false;
    bool noArrayAllocs = false;
    bool disableNativeInstrumentation = false;
    bool disableThreadProfiling = false;
    bool recordThreadNameChanges = false;
    bool disableMonitorClassInfo = false;
    bool disableMonitorOwnerInfo = false;
    bool showOrvaneThreads = false;
    bool sampleAgentClasses = false;
    bool instrumentJre = false;
    bool keepTempSnapshots = false;
    bool testDeadTree = false;
    std::string address = DEFAULT_ADDRESS;
    std::string libraryLocation;
    int id = NO_CONFIG_ID;
    bool hasConfigPath = false;
    std::string configPath;
    int unknownCount = 0;
    // Numeric options whose value was refused (each logged once).
    int refusedCount = 0;

    // Applies the comma-separated tokens of options (null or empty: none).
    // The text is not modified. Stops at "monitor", which the caller turns
    // into an abort.
    void parse(const char *options);

    // Thread profiling and VM telemetry are on unless nowait (or the option)
    // switches them off.
    bool threadProfiling() const { return !disableThreadProfiling && !nowait; }
    bool vmTelemetry() const { return !nowait; }

    // A configuration file is needed in offline mode, and with nowait unless
    // the VM offers full JVMTI 1.1.
    bool configRequired(bool fullJvmti11) const { return offline || (nowait && !fullJvmti11); }

    // Decides about the configuration file after parse(). Without config=,
    // the file is $HOME/.orvane7/config.xml when it can be opened. Logs the
    // messages of the decision; with CONFIG_FROM_FILE configPath is set. An
    // agent loaded into a running VM does not wait for a front end: it
    // decides as with nowait.
    ConfigDecision resolveConfiguration(bool fullJvmti11, bool attached = false);

    // The directory of scripts and saved classes of session `id`: the
    // configuration file's directory (through its last "/", else its last
    // backslash) followed by "classes/" and the id.
    std::string scriptDirName() const;

private:
    void applyToken(const std::string &token);
};

#endif
