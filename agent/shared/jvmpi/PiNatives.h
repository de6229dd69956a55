#ifndef AGENT_JVMPI_PINATIVES_H
#define AGENT_JVMPI_PINATIVES_H

class PiClassProfilingSession;
class LiveCpuProfilingSession;
class PiProfilingSession;

// What the natives of piagent's Java classes share: the one live session
// and its CPU session. Null without a session, which the first such call
// says on the console; the calls then do nothing.
namespace PiNatives {
PiProfilingSession *liveSession();
LiveCpuProfilingSession *cpuSession();
// The same without a word when there is no session (the hooks and probes
// of rewritten classes, which run in every program).
LiveCpuProfilingSession *cpuSessionIfAny();
PiClassProfilingSession *classSessionIfAny();
} // namespace PiNatives

// The natives the VM binds by name stay visible in the library.
#define PI_NATIVE extern "C" __attribute__((visibility("default")))

#endif
