#ifndef AGENT_PROBETEMPFILE_H
#define AGENT_PROBETEMPFILE_H

#include <string>

// The file through which the Java side hands probe tuples and probe
// telemetry to the command thread (commands 85 and 86). Its name is made
// once, exclusively under $TMPDIR with the prefix "ovd" and mode 0600, and
// kept; before each use the file is emptied. Used on the command thread only.
class ProbeTempFile {
public:
    ProbeTempFile() = default;
    // Removes the file.
    ~ProbeTempFile();
    ProbeTempFile(const ProbeTempFile &) = delete;
    ProbeTempFile &operator=(const ProbeTempFile &) = delete;

    // The file, empty and private, ready for the Java side to write; its
    // path, or an empty string (with a console line) when it cannot be made.
    std::string prepare();
    const std::string &getPath() const { return path; }

private:
    std::string path;
};

#endif
