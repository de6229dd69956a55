#include "VmEnd.h"

#include <cstdlib>

#include "MessageUtil.h"

namespace {

// In the order of VmEnd.
const VmEndRow VM_END_ROWS[] = {
    // Without the interface the agent has no way into the VM at all.
    {1, false, "The Java Virtual Machine Tool Interface (JVMTI) is not present. Exiting."},
    {1, false, "The Java Virtual Machine Profiling Interface (JVMPI) is not present. Exiting."},
    // A raw monitor or the communication thread is missing: nothing would be
    // guarded or served.
    {1, false, nullptr},
    // The agent cannot run a session it cannot read; the messages name the
    // file or the parse error.
    {-1, false, nullptr},
    // The VM waits for its front end, which could never connect.
    {1, false, nullptr},
    // The front end asked for the VM to end; the connection is cleaned up.
    {0, false, "Killing process"},
    // The Java side was loaded with another copy of the library; its hooks
    // cannot be served here.
    {0, false, "Exiting."},
    {0, true, "Monitoring Edition no longer supported. Aborting"},
    {0, true, "Error enabling events. Aborting."},
    // The caller names the thread.
    {0, true, nullptr},
    // The caller names the file or directory.
    {0, true, nullptr},
    // The caller names the class or member.
    {0, true, nullptr},
    // The caller gives the stack size and how to raise it.
    {0, true, nullptr},
};

static_assert(sizeof VM_END_ROWS / sizeof VM_END_ROWS[0] == static_cast<size_t>(VmEnd::STACK_OVERFLOW) + 1,
              "one row per reason");

} // namespace

const VmEndRow &vmEndRow(VmEnd reason)
{
    return VM_END_ROWS[static_cast<int>(reason)];
}

void vmEndProcess(VmEnd reason)
{
    const VmEndRow &row = vmEndRow(reason);
    if (row.closingLine != nullptr)
        MessageUtil::message("%s", row.closingLine);
    // Every reason is one where the process must not go on; the status is
    // the one the front end, the host and scripts see.
    if (row.aborts)
        abort();
    exit(row.status);
}
