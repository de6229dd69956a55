// Running the front end's commands: one connection to the agent, each step's
// request, its reply shown by its view, and the `wait` for the program's end.
#ifndef KVR_TOOLS_FRONTEND_CLI_CLICOMMANDS_H
#define KVR_TOOLS_FRONTEND_CLI_CLICOMMANDS_H

#include "CliArguments.h"

// Connects to the agent the command line names, runs its steps in order and
// closes the connection (command 0) unless told to keep it open. Returns the
// exit status: 0, or 1 when anything failed (each failure said on standard
// error); a step that fails does not stop the next ones unless the
// connection is lost.
int runCommands(const CommandLine &line);

#endif
