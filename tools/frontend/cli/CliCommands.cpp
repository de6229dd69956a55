// Running the front end's steps over one connection.
#include "CliCommands.h"

#include "CliViews.h"
#include "FrontendClient.h"
#include "TextReport.h"
#include "VmStateView.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// How often `wait` polls the VM and looks at its terminal.
const int WAIT_POLL_MS = 200;

volatile sig_atomic_t interruptRequested = 0;

void onInterrupt(int)
{
    interruptRequested = 1;
}

// What to try after a command failed with the client's status and error text.
std::string commandHint(FrontendClient::Status status, const std::string &error)
{
    if (error.find("timed out") != std::string::npos)
        return "a longer --timeout; the agent answers once the VM lets its thread run";
    if (status == FrontendClient::REFUSED_SIZE || status == FrontendClient::REFUSED_CRC)
        return "the agent refused the frame; send the command again";
    if (status == FrontendClient::PROTOCOL_ERROR)
        return "check that --port names tiagent's port and that the agent and the front end come from one build";
    return "the connection ended, perhaps with the VM; run the command again while the VM runs";
}

// Whether a method id answers to a name of the command line: "Demo.make",
// "Demo.make(int)" or the id as "#1f".
bool methodMatches(const Registry &registry, uint64_t method, const std::string &name)
{
    char id[32];
    snprintf(id, sizeof id, "#%llx", static_cast<unsigned long long>(method));
    if (name == id)
        return true;
    std::string java = TextReport::javaMethod(registry, method);
    return java == name || (java.compare(0, name.size(), name) == 0 && java.size() > name.size() && java[name.size()] == '(');
}

// Commands 24 and 51 for the query; false with the reason when a class is not known yet.
bool allocationPayload(const Step &step, const Registry &registry, unsigned idWidth, std::vector<uint8_t> *out, std::string *reason)
{
    std::vector<std::pair<uint16_t, uint64_t>> types;
    for (uint16_t type : step.query.arrayTypes)
        types.push_back({type, 0});
    for (const std::string &name : step.query.classNames) {
        std::vector<const ClassInfo *> named = registry.classesNamed(name);
        if (named.empty()) {
            *reason = "class " + name + " is not known yet";
            return false;
        }
        // Every record of the name: the agent counts under one of them.
        for (const ClassInfo *c : named)
            types.push_back({2, c->id});
    }
    if (step.command == 24) {
        *out = HeapView::allocationUpdateRequest(step.query.level, step.query.kind, types, step.query.prefix, idWidth);
    } else {
        *out = HeapView::allocationRequest(step.query.level, step.query.kind, types, step.query.prefix, idWidth);
        out->push_back(0);
        out->push_back(0); // no back traces
    }
    return true;
}

// The (method, line) path of an expansion, found by name in the tree or hot
// spots the agent sent last; false with the reason when a name is not there.
bool expansionPath(const Step &step, const ViewState &state, std::vector<std::pair<uint64_t, uint16_t>> *out, std::string *reason)
{
    if (step.command == 52) {
        for (const HotspotRow &row : state.allocationHotspots.rows) {
            if (methodMatches(state.registry, row.method, step.path[0])) {
                out->push_back({row.method, 0});
                return true;
            }
        }
        *reason = "no allocation hot spot " + step.path[0] + " in the last allochotspots";
        return false;
    }
    const ViewNode *at = state.allocationTree.get();
    for (const std::string &name : step.path) {
        const ViewNode *next = nullptr;
        for (size_t c = 0; at != nullptr && c < at->children.size() && next == nullptr; c++) {
            if (methodMatches(state.registry, at->children[c]->method, name))
                next = at->children[c].get();
        }
        if (next == nullptr) {
            *reason = "no node " + name + " on that path of the last alloctree";
            return false;
        }
        out->push_back({next->method, next->line});
        at = next;
    }
    return true;
}

// The request of a step whose payload depends on earlier replies (the
// classes named, the nodes shown last); false after saying why it cannot be made.
bool buildPayload(const Step &step, const ViewState &state, unsigned idWidth, std::vector<uint8_t> *payload)
{
    std::string unresolved;
    if (step.show == SHOW_ALLOCATION_TREE || step.show == SHOW_ALLOCATION_HOTSPOTS) {
        if (allocationPayload(step, state.registry, idWidth, payload, &unresolved))
            return true;
        failure("command " + std::to_string(step.command) + ": " + unresolved,
                "run heap or totalheap first, which name the classes, and give the name as they print it");
        return false;
    }
    if (step.show == SHOW_ALLOCATION_NODE) {
        std::vector<std::pair<uint64_t, uint16_t>> path;
        if (!expansionPath(step, state, &path, &unresolved)) {
            failure("command " + std::to_string(step.command) + ": " + unresolved,
                    "give the methods as the last alloctree or allochotspots printed them, such as Demo.make");
            return false;
        }
        *payload = HeapView::expandRequest(path, idWidth);
    }
    return true;
}

// Whether a line arrived on standard input within `ms`; at the end of the
// input (or on a read error) *open becomes false and input is no longer read.
bool enterPressed(int ms, bool *open)
{
    if (!*open) {
        poll(nullptr, 0, ms);
        return false;
    }
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, ms) <= 0 || !(in.revents & (POLLIN | POLLHUP | POLLERR)))
        return false;
    char c = 0;
    ssize_t got;
    while ((got = read(STDIN_FILENO, &c, 1)) == 1 && c != '\n') {
    }
    if (got <= 0)
        *open = false;
    return got == 1;
}

// The `wait` step: polls the VM state until the VM's end waits for this
// front end, or Enter or Ctrl-C arrives here. Returns the reason as a line,
// or empty with *failed set when the connection failed.
std::string waitForProgramEnd(FrontendClient &client, Registry *registry, bool *failed)
{
    struct sigaction interrupt = {};
    interrupt.sa_handler = onInterrupt;
    sigemptyset(&interrupt.sa_mask);
    struct sigaction previous = {};
    sigaction(SIGINT, &interrupt, &previous);
    interruptRequested = 0;
    printf("  recording; waiting until the program ends (or Enter or Ctrl-C here)\n");
    fflush(stdout);
    bool inputOpen = true;
    std::string why;
    while (why.empty()) {
        Reply reply;
        VmStateReply state;
        if (client.call(59, {}, &reply) != FrontendClient::OK ||
            !VmStateView::readVmStateReply(reply.body, client.idWidth(), registry, &state)) {
            *failed = true;
            break;
        }
        if (state.status == VmStateView::VM_WAITS_AT_ITS_END)
            why = "the program ended; its VM waits for this front end";
        else if (enterPressed(WAIT_POLL_MS, &inputOpen))
            why = "Enter pressed; the program goes on";
        if (interruptRequested)
            why = "interrupted; the program goes on";
    }
    sigaction(SIGINT, &previous, nullptr);
    if (!why.empty())
        printf("  %s\n", why.c_str());
    return why;
}

// Connects and says hello; 0, or the exit status after saying why not.
int connectAgent(FrontendClient &client, const CommandLine &line)
{
    std::string where = line.host + ":" + std::to_string(line.port);
    std::string error = client.connect(line.host, static_cast<uint16_t>(line.port));
    if (!error.empty())
        return failure("cannot reach the agent at " + where + ": " + error,
                       "start the JVM with -agentpath:.../libtiagent.so=port=" + std::to_string(line.port) +
                           " and connect once it says \"Waiting for a connection\" (or \"Using address\" with nowait and when"
                           " attached); or give the agent's --host and --port");
    error = client.handshake();
    if (!error.empty())
        return failure(where + " did not answer as tiagent does: " + error,
                       "check that --port names the agent's port= option; a front end still connected keeps others out");
    printf("connected to %s, protocol version %s\n", where.c_str(), client.agentVersion().c_str());
    return 0;
}

// What runStep tells the loop.
enum StepOutcome { STEP_DONE, STEP_FAILED, STEP_STOP, STEP_FAILED_STOP };

StepOutcome runWait(FrontendClient &client, ViewState *state)
{
    bool failed = false;
    waitForProgramEnd(client, &state->registry, &failed);
    if (!failed)
        return STEP_DONE;
    failure("wait: " + (client.lastError().empty() ? std::string("malformed VM state reply") : client.lastError()),
            "the connection ended with the VM: give the session vmCannotExit=\"true\" so that its end"
            " waits for the views");
    return client.connected() ? STEP_FAILED : STEP_FAILED_STOP;
}

StepOutcome runStep(FrontendClient &client, const Step &step, ViewState *state)
{
    std::vector<uint8_t> payload = step.payload;
    if (!buildPayload(step, *state, client.idWidth(), &payload))
        return STEP_FAILED;
    if (step.show == SHOW_WAIT)
        return runWait(client, state);
    Reply reply;
    FrontendClient::Status status = client.call(step.command, payload, &reply);
    if (status != FrontendClient::OK) {
        failure("command " + std::to_string(step.command) + ": " + client.lastError(), commandHint(status, client.lastError()));
        bool lost = !client.connected() || status == FrontendClient::IO_ERROR || status == FrontendClient::PROTOCOL_ERROR;
        return lost ? STEP_FAILED_STOP : STEP_FAILED;
    }
    if (step.command == 0) {
        printf("closed\n");
        client.close();
        return STEP_STOP;
    }
    return showReply(step, reply, client.idWidth(), state) == 0 ? STEP_DONE : STEP_FAILED;
}

} // namespace

int runCommands(const CommandLine &line)
{
    FrontendClient client(static_cast<int>(line.timeoutMs));
    int status = connectAgent(client, line);
    if (status != 0)
        return status;
    int result = 0;
    ViewState state;
    for (const Step &step : line.steps) {
        StepOutcome outcome = runStep(client, step, &state);
        if (outcome == STEP_FAILED || outcome == STEP_FAILED_STOP)
            result = 1;
        if (outcome == STEP_STOP || outcome == STEP_FAILED_STOP)
            break;
    }
    if (client.connected() && !line.keepOpen)
        client.call(0, {}, nullptr);
    return result;
}
