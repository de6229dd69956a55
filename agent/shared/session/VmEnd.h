#ifndef AGENT_VMEND_H
#define AGENT_VMEND_H

// Why an agent ends the VM. Each reason is one row of the table in
// VmEnd.cpp: the status the process ends with and the closing line (none
// where the caller has logged the details already).
enum class VmEnd {
    NO_JVMTI,            // the VM offers no JVMTI environment
    NO_JVMPI,            // the VM offers no profiler interface
    FATAL_INIT,          // a set-up call of the VM failed at start-up
    CONFIG_UNREADABLE,   // the configuration is missing or cannot be read
    LISTEN_FAILED,       // the waiting VM cannot listen on its port
    FRONTEND_EXIT,       // command 46: the front end ends the VM
    WRONG_LIBRARY,       // a hook reached a library without a live session
    MONITOR_EDITION,     // the option asks for an edition that is gone
    EVENTS_REFUSED,      // the VM refused an event the agent needs
    NO_AGENT_THREAD,     // the VM could not start one of the agent's threads
    NO_TEMP_FILES,       // the agent's archive or script directory cannot be made
    JAVA_MEMBER_MISSING, // a class or member the agent calls is not in the VM
    STACK_OVERFLOW,      // a thread's calls went deeper than the stack= setting
};

// One way the VM ends. `aborts`: the process ends by SIGABRT (status
// 128 + 6 to its parent), as after an assertion; otherwise by exit(status).
struct VmEndRow {
    int status;
    bool aborts;
    const char *closingLine;
};

// The row of a reason.
const VmEndRow &vmEndRow(VmEnd reason);

// Logs the reason's closing line and ends the process as its row says.
// Only the edges' endVm call it.
[[noreturn]] void vmEndProcess(VmEnd reason);

#endif
