// Reading the front end's command line: one row per option or command word,
// each turning its words into a Step (or a setting) and checking them.
#include "CliArguments.h"

#include "CallTreeView.h"
#include "HeapView.h"
#include "ProbeView.h"
#include "TextReport.h"
#include "WireWriter.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// How many hot spots are shown unless the command names a count.
const unsigned long DEFAULT_HOTSPOT_ROWS = 20;

const char HELP[] =
    "usage: frontend [OPTIONS] COMMAND [COMMAND ...]   talk to a running tiagent\n"
    "       frontend heapdump FILE                       read a heap dump (\"jhd\") file\n"
    "       frontend snapshot FILE                       read a snapshot file\n"
    "\n"
    "Options:\n"
    "  --host H                the agent's address (default 127.0.0.1)\n"
    "  --port P                the agent's port, as in its port= option (default 8849)\n"
    "  --timeout MS            how long to wait for each reply (default 10000)\n"
    "  --keep-open             leave without sending the close command (0)\n"
    "  --help                  this text\n"
    "\n"
    "Commands, run in the order given over one connection:\n"
    "  cpu on|off              switch CPU recording on or off (command 38)\n"
    "  wait                    wait until the program ends (its VM then waits for this front end), or Enter\n"
    "                          or Ctrl-C here, polling the VM (59); the commands after it read the whole run\n"
    "  session FILE ID         send session ID of configuration FILE (command 1); a waiting agent runs main\n"
    "  statuses                every thread's status history, \"status@ms\" (command 11)\n"
    "  telemetry               the VM telemetry since the last time, one line per sample (command 22)\n"
    "  hotspots [N]            the N methods (default 20) with the most own time, with their calls (42)\n"
    "  calltree [LEVEL]        the top of the call tree (41); LEVEL 0 methods, 1 classes, 2 packages, 3 components\n"
    "  graph                   callers and callees of every method, with times and calls (command 50)\n"
    "  threads                 the threads and their stacks (command 74)\n"
    "  probe NAME              the payloads of probe NAME with their calls and call sites (command 85)\n"
    "  probe-hotspots NAME     the payloads of probe NAME by time, the first 5 with their callers (command 57)\n"
    "  classes                 the classes and methods the agent has not described yet (command 60)\n"
    "  dump [values]           take a heap dump and print its objects, roots and class dumps (command 7)\n"
    "  alloc on|off            switch allocation recording on or off (command 49)\n"
    "  heap [reset]            recorded live and collected objects per class since the last time; reset empties collected (3)\n"
    "  totalheap               every object on the heap per class, recorded or not (command 4)\n"
    "  alloctree [SEL ...]     allocation tree (24); SEL: live|collected|both, LEVEL 0-3, int[] etc., class=NAME, prefix=P\n"
    "  allocexpand M[/M ...]   the allocation tree below the path of methods M (from the last alloctree; command 25)\n"
    "  allochotspots [SEL ...] the methods that allocated most, at most 100, and their sum (51); SEL as for alloctree\n"
    "  allocbacktrace M        the callers of allocation hot spot M (from the last allochotspots; command 52)\n"
    "  savesnapshot FILE       save a snapshot of everything recorded into FILE (command 32)\n"
    "  snapshotpath            let the agent keep a snapshot file and print its path (command 32)\n"
    "  loaddata                from a loaded snapshot: the read's result, the stored IDs, the data file and threads (33)\n"
    "  cmd N [HEX]             any command N with a payload in hex digits; prints the reply's bytes\n"
    "\n"
    "\n"
    "The agent stops and resets all recording when a front end that sent commands goes; profile a run over\n"
    "one connection:\n"
    "Example: frontend --port 8849 cpu on session examples/tiagent-session.xml 1 wait hotspots calltree\n";

// The words of the command line and the one being read.
class Words {
public:
    Words(int argc, char **argv) : count(argc), words(argv) {}
    // Moves to the next word; false after the last.
    bool advance() { return ++at < count; }
    const char *current() const { return words[at]; }
    // Whether a word follows the current one.
    bool hasNext() const { return at + 1 < count; }
    // Whether `n` words follow the current one.
    bool hasNext(int n) const { return at + n < count; }
    // The word after the current one; only when hasNext().
    const char *peek() const { return words[at + 1]; }
    // Moves to the next word and returns it; only when hasNext().
    const char *take() { return words[++at]; }

private:
    int count;
    char **words;
    int at = 0;
};

bool parseNumber(const char *text, unsigned long max, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (!*text || *end || errno || value > max)
        return false;
    *out = value;
    return true;
}

bool parseHex(const std::string &text, std::vector<uint8_t> *out)
{
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!isxdigit(static_cast<unsigned char>(text[i])) || !isxdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        out->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return true;
}

// Whether the next word starts with a digit (an optional number follows).
bool numberFollows(const Words &words)
{
    return words.hasNext() && isdigit(static_cast<unsigned char>(words.peek()[0]));
}

// Takes the next word when it is `word` (an optional flag).
bool takeFlag(Words &words, const char *word)
{
    if (!words.hasNext() || std::string(words.peek()) != word)
        return false;
    words.take();
    return true;
}

// Reads a whole file; false with the reason when it cannot.
bool readWholeFile(const std::string &path, std::string *out, std::string *reason)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *reason = strerror(errno);
        return false;
    }
    std::stringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

// The payload of command 1: a session configuration follows (1), its
// session id, the document, an unused string and no scripts.
std::vector<uint8_t> sessionPayload(uint32_t id, const std::string &xml)
{
    WireWriter w;
    w.writeByte(1);
    w.writeU4(id);
    w.writeU4(static_cast<uint32_t>(xml.size()));
    w.writeBytes(xml.data(), xml.size());
    w.writeString("");
    w.writeU4(0);
    return w.bytes();
}

// One selection word of alloctree and allochotspots; false when the word is
// none (then `reason` tells why when it looked like one).
bool parseSelection(const std::string &word, AllocationQuery *query, std::string *reason)
{
    static const char *const KINDS[] = {"live", "collected", "both"};
    for (uint32_t k = 0; k < 3; k++) {
        if (word == KINDS[k]) {
            query->kind = k + 1;
            return true;
        }
    }
    for (uint16_t type = 4; type <= 11; type++) {
        if (word == TextReport::arrayTypeName(type)) {
            query->arrayTypes.push_back(type);
            return true;
        }
    }
    if (word == "Object[]") {
        query->arrayTypes.push_back(3);
        return true;
    }
    if (word.compare(0, 6, "class=") == 0 && word.size() > 6) {
        query->classNames.push_back(word.substr(6));
        return true;
    }
    if (word.compare(0, 7, "prefix=") == 0) {
        query->prefix = word.substr(7);
        return true;
    }
    if (!word.empty() && isdigit(static_cast<unsigned char>(word[0]))) {
        unsigned long level;
        if (!parseNumber(word.c_str(), 3, &level)) {
            *reason = "bad aggregation level " + word + ": 0 methods, 1 classes, 2 packages, 3 components";
            return false;
        }
        query->level = static_cast<uint32_t>(level);
        return true;
    }
    return false;
}

std::vector<std::string> splitPath(const std::string &text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// "on" or "off" after `word`; empty after a usage error.
std::string onOrOff(const std::string &word, Words &words, int *status)
{
    std::string on = words.hasNext() ? words.take() : "";
    if (on == "on" || on == "off")
        return on;
    *status = usageError(word + " takes on or off" + (on.empty() ? std::string() : ", not " + on));
    return "";
}

// One row per option or command word: reads what follows the word (the
// current one) and adds to the command line. Returns PARSED or an exit status.
typedef int (*ParseWord)(const std::string &word, Words &words, CommandLine *line);

int parseHelp(const std::string &, Words &, CommandLine *)
{
    printHelp();
    return 0;
}

int parseHost(const std::string &word, Words &words, CommandLine *line)
{
    if (!words.hasNext())
        return usageError(word + " needs a value");
    line->host = words.take();
    return PARSED;
}

int parsePort(const std::string &word, Words &words, CommandLine *line)
{
    if (!words.hasNext())
        return usageError(word + " needs a value");
    const char *text = words.take();
    if (!parseNumber(text, 65535, &line->port) || line->port == 0)
        return usageError(std::string("bad port ") + text + ": give a number from 1 to 65535, the agent's port= option");
    return PARSED;
}

int parseTimeout(const std::string &word, Words &words, CommandLine *line)
{
    if (!words.hasNext())
        return usageError(word + " needs a value");
    const char *text = words.take();
    if (!parseNumber(text, 3600000, &line->timeoutMs))
        return usageError(std::string("bad time-out ") + text + ": give milliseconds, at most 3600000");
    return PARSED;
}

int parseKeepOpen(const std::string &, Words &, CommandLine *line)
{
    line->keepOpen = true;
    return PARSED;
}

// cmd N [HEX]: the payload is the next word unless it starts an option or another cmd.
int parseRawCommand(const std::string &, Words &words, CommandLine *line)
{
    unsigned long command;
    bool hasValue = words.hasNext();
    if (!hasValue || !parseNumber(words.take(), 0xFFFFFFFFul, &command))
        return usageError(std::string("cmd needs a command number") + (hasValue ? std::string(", not ") + words.current() : ""));
    Step step{static_cast<uint32_t>(command), {}};
    if (words.hasNext() && words.peek()[0] != '-' && std::string(words.peek()) != "cmd" && !parseHex(words.take(), &step.payload))
        return usageError(std::string("bad hex payload ") + words.current() + ": give pairs of hex digits, such as 0001ff");
    line->steps.push_back(step);
    return PARSED;
}

int parseCpu(const std::string &word, Words &words, CommandLine *line)
{
    int status = PARSED;
    std::string on = onOrOff(word, words, &status);
    if (status == PARSED)
        line->steps.push_back(Step{38, {static_cast<uint8_t>(on == "on"), 0, 0, 0, 0}, SHOW_BYTES});
    return status;
}

int parseWait(const std::string &, Words &, CommandLine *line)
{
    line->steps.push_back(Step{59, {}, SHOW_WAIT});
    return PARSED;
}

int parseSession(const std::string &, Words &words, CommandLine *line)
{
    if (!words.hasNext(2))
        return usageError("session needs a configuration file and a session id, such as: session examples/tiagent-session.xml 1");
    std::string path = words.take();
    unsigned long id;
    if (!parseNumber(words.take(), 0x7FFFFFFFul, &id))
        return usageError(std::string("bad session id ") + words.current() + ": give the id=\"...\" of a <session> in " + path);
    std::string xml;
    std::string reason;
    if (!readWholeFile(path, &xml, &reason))
        return failure("cannot read session configuration " + path + ": " + reason,
                       "give the path of a configuration such as examples/tiagent-session.xml");
    line->steps.push_back(Step{1, sessionPayload(static_cast<uint32_t>(id), xml), SHOW_BYTES});
    return PARSED;
}

int parseCallTree(const std::string &, Words &words, CommandLine *line)
{
    unsigned long level = 0;
    if (numberFollows(words) && !parseNumber(words.take(), 3, &level))
        return usageError(std::string("bad aggregation level ") + words.current() + ": 0 methods, 1 classes, 2 packages, 3 components");
    line->steps.push_back(Step{41, CallTreeView::invocationTreeRequest(static_cast<uint32_t>(level), 1, 10000, 0), SHOW_CALL_TREE});
    return PARSED;
}

int parseHotspots(const std::string &, Words &words, CommandLine *line)
{
    unsigned long rows = DEFAULT_HOTSPOT_ROWS;
    if (numberFollows(words) && (!parseNumber(words.take(), 1000000, &rows) || rows == 0))
        return usageError(std::string("bad number of hot spots ") + words.current() + ": give a number from 1");
    Step step{42, CallTreeView::hotspotRequest(1, true), SHOW_HOTSPOTS};
    step.rows = rows;
    line->steps.push_back(step);
    return PARSED;
}

int parseDump(const std::string &, Words &words, CommandLine *line)
{
    bool values = takeFlag(words, "values");
    // By value: sendPath, hprof, hprofFlag, option4, option5, option6, primitiveValues, dump.
    line->steps.push_back(Step{7, {0, 0, 0, 0, 0, 0, static_cast<uint8_t>(values), 1}, SHOW_HEAP_DUMP});
    return PARSED;
}

// probe NAME and probe-hotspots NAME.
int parseProbe(const std::string &word, Words &words, CommandLine *line)
{
    if (!words.hasNext())
        return usageError(word + " needs a probe name, such as builtin.FileProbe");
    std::string probe = words.take();
    if (word == "probe") {
        WireWriter w;
        w.writeString(probe);
        line->steps.push_back(Step{85, w.bytes(), SHOW_PROBE_TUPLES});
    } else {
        line->steps.push_back(Step{57, ProbeView::hotspotRequest(probe, {0, 1, 2, 3, 4}), SHOW_PROBE_HOTSPOTS});
    }
    return PARSED;
}

int parseAlloc(const std::string &word, Words &words, CommandLine *line)
{
    int status = PARSED;
    std::string on = onOrOff(word, words, &status);
    if (status == PARSED)
        line->steps.push_back(Step{49, HeapView::recordRequest(on == "on"), SHOW_BYTES});
    return status;
}

int parseHeap(const std::string &, Words &words, CommandLine *line)
{
    bool reset = takeFlag(words, "reset");
    line->steps.push_back(Step{3, {static_cast<uint8_t>(reset ? 1 : 0)}, SHOW_HEAP});
    return PARSED;
}

// alloctree and allochotspots with their selection words.
int parseAllocationView(const std::string &word, Words &words, CommandLine *line)
{
    bool tree = word == "alloctree";
    Step step{tree ? 24u : 51u, {}, tree ? SHOW_ALLOCATION_TREE : SHOW_ALLOCATION_HOTSPOTS};
    std::string reason;
    while (words.hasNext() && parseSelection(words.peek(), &step.query, &reason))
        words.take();
    if (!reason.empty())
        return usageError(reason);
    line->steps.push_back(step);
    return PARSED;
}

// allocexpand M[/M ...] and allocbacktrace M.
int parseAllocationNode(const std::string &word, Words &words, CommandLine *line)
{
    if (!words.hasNext())
        return usageError(word + " needs a method, such as: " + word + " Demo.main");
    bool backtrace = word == "allocbacktrace";
    Step step{backtrace ? 52u : 25u, {}, SHOW_ALLOCATION_NODE};
    step.path = splitPath(words.take());
    if (backtrace && step.path.size() != 1)
        return usageError("allocbacktrace takes one method, such as: allocbacktrace Demo.make");
    line->steps.push_back(step);
    return PARSED;
}

int parseSaveSnapshot(const std::string &, Words &words, CommandLine *line)
{
    if (!words.hasNext())
        return usageError("savesnapshot needs a file name, such as: savesnapshot run.ovs");
    Step step{32, {0}, SHOW_SNAPSHOT};
    step.file = words.take();
    line->steps.push_back(step);
    return PARSED;
}

// A command word without arguments: its request and view.
struct PlainCommand {
    const char *word;
    uint32_t command;
    std::vector<uint8_t> payload;
    Show show;
};

const PlainCommand PLAIN_COMMANDS[] = {
    {"graph", 50, CallTreeView::methodGraphRequest(1), SHOW_METHOD_GRAPH},
    {"threads", 74, {1}, SHOW_THREADS},
    {"statuses", 11, {}, SHOW_STATUSES},
    {"telemetry", 22, {}, SHOW_TELEMETRY},
    {"classes", 60, {}, SHOW_CLASSES},
    {"totalheap", 4, {}, SHOW_TOTAL_HEAP},
    {"snapshotpath", 32, {1}, SHOW_SNAPSHOT},
    {"loaddata", 33, {}, SHOW_LOAD_DATA},
};

int parsePlain(const std::string &word, Words &, CommandLine *line)
{
    for (const PlainCommand &c : PLAIN_COMMANDS) {
        if (word == c.word)
            line->steps.push_back(Step{c.command, c.payload, c.show});
    }
    return PARSED;
}

struct WordRow {
    const char *word;
    ParseWord parse;
};

const WordRow WORDS[] = {
    {"--help", parseHelp},
    {"-h", parseHelp},
    {"--host", parseHost},
    {"--port", parsePort},
    {"--timeout", parseTimeout},
    {"--keep-open", parseKeepOpen},
    {"cmd", parseRawCommand},
    {"cpu", parseCpu},
    {"wait", parseWait},
    {"session", parseSession},
    {"calltree", parseCallTree},
    {"hotspots", parseHotspots},
    {"graph", parsePlain},
    {"threads", parsePlain},
    {"statuses", parsePlain},
    {"telemetry", parsePlain},
    {"classes", parsePlain},
    {"totalheap", parsePlain},
    {"snapshotpath", parsePlain},
    {"loaddata", parsePlain},
    {"dump", parseDump},
    {"probe", parseProbe},
    {"probe-hotspots", parseProbe},
    {"alloc", parseAlloc},
    {"heap", parseHeap},
    {"alloctree", parseAllocationView},
    {"allochotspots", parseAllocationView},
    {"allocexpand", parseAllocationNode},
    {"allocbacktrace", parseAllocationNode},
    {"savesnapshot", parseSaveSnapshot},
};

} // namespace

int parseCommandLine(int argc, char **argv, CommandLine *line)
{
    Words words(argc, argv);
    while (words.advance()) {
        std::string word = words.current();
        const WordRow *row = nullptr;
        for (const WordRow &r : WORDS) {
            if (word == r.word)
                row = &r;
        }
        if (row == nullptr)
            return usageError("unknown command or option " + word);
        int status = row->parse(word, words, line);
        if (status != PARSED)
            return status;
    }
    if (line->steps.empty())
        return usageError("no command given");
    return PARSED;
}

void printHelp()
{
    fputs(HELP, stdout);
}

int usageError(const std::string &reason)
{
    fprintf(stderr, "frontend: %s\n  try: frontend --help\n", reason.c_str());
    return 2;
}

int failure(const std::string &reason, const std::string &hint)
{
    fprintf(stderr, "frontend: %s\n  try: %s\n", reason.c_str(), hint.c_str());
    return 1;
}
