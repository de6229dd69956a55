#ifndef AGENT_JVMPI_PINATIVES_H
#define AGENT_JVMPI_PINATIVES_H

class LiveCpuProfilingSession;
class LiveProfilingSession;

// What the natives of piagent's Java classes share: the one live session
// and its CPU session. Null without a session, which the first such call
// says on the console; the calls then do nothing.
namespace PiNatives {
LiveProfilingSession *liveSession();
LiveCpuProfilingSession *cpuSession();
} // namespace PiNatives

#define PIAGENT_EXPORT extern "C" __attribute__((visibility("default")))

#endif
