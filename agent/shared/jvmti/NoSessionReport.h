#ifndef AGENT_NOSESSIONREPORT_H
#define AGENT_NOSESSIONREPORT_H

// Natives of the agent's Java classes called in a VM where the agent was
// loaded without a live session (System.load without -agentpath) say so
// once per process and do nothing.
class NoSessionReport {
public:
    static void report();
};

#endif
