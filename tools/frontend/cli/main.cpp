// frontend: a small command-line front end for the profiling agent.
//
//   frontend --host 127.0.0.1 --port 8849 cmd 2 cmd 44 cmd 60
//   frontend --port 8849 cmd 34 00000001000361 2e62      (payload as hex digits)
//   frontend --port 8849 cpu on calltree 0 classes     (views, printed as text)
//   frontend --port 8849 cpu on session examples/tiagent-session.xml 1
//   frontend --port 8849 cpu on session examples/tiagent-session.xml 1 wait hotspots calltree
//   frontend snapshot file.ovs
//   frontend heapdump jhdXXXXXX
//   frontend --help                                    (every command, one line each)
//
// The rooms: CliArguments reads the command line into steps, CliCommands
// runs them over one connection, CliViews prints each reply (and the files
// read without an agent).

#include "CliArguments.h"
#include "CliCommands.h"
#include "CliViews.h"

#include <string>

int main(int argc, char **argv)
{
    std::string first = argc >= 2 ? argv[1] : "";
    if (argc == 2 && (first == "--help" || first == "-h")) {
        printHelp();
        return 0;
    }
    if (first == "heapdump")
        return argc == 3 ? showHeapDumpFile(argv[2]) : usageError("heapdump takes one file name");
    if (first == "snapshot")
        return argc == 3 ? showSnapshotFile(argv[2]) : usageError("snapshot takes one file name");
    CommandLine line;
    int status = parseCommandLine(argc, argv, &line);
    if (status != PARSED)
        return status;
    return runCommands(line);
}
