#ifndef AGENT_TEMPFILES_H
#define AGENT_TEMPFILES_H

#include <string>

// Private temporary files and directories of the agent: created exclusively
// under $TMPDIR (else /tmp) with a fixed prefix ("jag", "jscl", "ovs", ...)
// and a random tail, files mode 0600, directories mode 0700, so that nobody
// else can plant or read them.
class TempFiles {
public:
    // $TMPDIR when set and not empty, else "/tmp".
    static std::string tempDirectory();

    // Creates a new empty file; returns its open descriptor (close-on-exec)
    // and its name in path, or -1 when it cannot be made.
    static int createFile(const char *prefix, std::string &path);

    // Creates a new directory; returns its name, empty when it cannot be made.
    static std::string createDirectory(const char *prefix);
};

#endif
