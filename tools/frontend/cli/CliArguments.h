// The front end's command line: options and the commands it runs, in order,
// over one connection.
#ifndef KVR_TOOLS_FRONTEND_CLI_CLIARGUMENTS_H
#define KVR_TOOLS_FRONTEND_CLI_CLIARGUMENTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How a reply is shown: raw bytes, or decoded as a view.
enum Show {
    SHOW_HEAP_DUMP,
    SHOW_BYTES,
    SHOW_CLASSES,
    SHOW_CALL_TREE,
    SHOW_HOTSPOTS,
    SHOW_THREADS,
    SHOW_METHOD_GRAPH,
    SHOW_STATUSES,
    SHOW_TELEMETRY,
    SHOW_HEAP,
    SHOW_TOTAL_HEAP,
    SHOW_ALLOCATION_TREE,
    SHOW_ALLOCATION_HOTSPOTS,
    SHOW_ALLOCATION_NODE,
    SHOW_SNAPSHOT,
    SHOW_LOAD_DATA,
    SHOW_PROBE_TUPLES,
    SHOW_PROBE_HOTSPOTS,
    SHOW_WAIT,
};

// What an allocation view selects: built into commands 24 and 51 once the
// connection knows the ID width and the classes named.
struct AllocationQuery {
    uint32_t kind = 1; // 1 live, 2 collected, 3 both
    uint32_t level = 0;
    std::string prefix;
    std::vector<uint16_t> arrayTypes;
    std::vector<std::string> classNames;
};

// One command of the command line: the request and how its reply is shown.
struct Step {
    Step(uint32_t c, std::vector<uint8_t> p, Show how = SHOW_BYTES) : command(c), payload(std::move(p)), show(how) {}
    uint32_t command;
    std::vector<uint8_t> payload;
    Show show;
    size_t rows = 0; // hot spots shown
    AllocationQuery query;
    std::vector<std::string> path; // methods of an expansion, from the top
    std::string file;              // where a snapshot goes
};

// The whole command line once read.
struct CommandLine {
    std::string host = "127.0.0.1";
    unsigned long port = 8849;
    unsigned long timeoutMs = 10000;
    bool keepOpen = false;
    std::vector<Step> steps;
};

// What parseCommandLine asks of its caller.
const int PARSED = -1;

// Reads options and commands from argv[1...]. Returns PARSED with `*line`
// filled, or the exit status after printing the help (0), a usage error (2)
// or a failure such as an unreadable session file (1).
int parseCommandLine(int argc, char **argv, CommandLine *line);

// Prints every command of the front end, one line each.
void printHelp();

// A usage error: the reason and where to look on standard error; returns exit status 2.
int usageError(const std::string &reason);
// A failure while running: the reason and what to try on standard error; returns exit status 1.
int failure(const std::string &reason, const std::string &hint);

#endif
