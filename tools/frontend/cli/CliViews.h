// The front end's views: each reply printed as text, and the files it reads
// without an agent (snapshots, heap dumps).
#ifndef KVR_TOOLS_FRONTEND_CLI_CLIVIEWS_H
#define KVR_TOOLS_FRONTEND_CLI_CLIVIEWS_H

#include <memory>

#include "CallTreeView.h"
#include "CliArguments.h"
#include "FrontendClient.h"
#include "HeapView.h"
#include "Registry.h"

// What the replies of one connection taught the front end: the names of
// methods, classes and threads, and the allocation tree and hot spots shown
// last (expansions name their nodes).
struct ViewState {
    Registry registry;
    std::unique_ptr<ViewNode> allocationTree;
    AllocationHotspotReply allocationHotspots;
};

// Prints the reply to `step` as its view asks (IDs `idWidth` bytes wide).
// Returns 0, or 1 after saying on standard error why the reply could not be shown.
int showReply(const Step &step, const Reply &reply, unsigned idWidth, ViewState *state);

// `frontend snapshot FILE`: whether the agent's reader loads the file, then
// its header, sections and trailer. Returns the exit status.
int showSnapshotFile(const char *path);
// `frontend heapdump FILE`: the objects, roots and class dumps. Returns the exit status.
int showHeapDumpFile(const char *path);

#endif
