#ifndef AGENT_MESSAGEUTIL_H
#define AGENT_MESSAGEUTIL_H

// The agent's console and debug output. Safe to call from any thread.
class MessageUtil {
public:
    // Writes "Orvane> ", the formatted text and a newline to standard error in
    // one write, and flushes.
    static void message(const char *format, ...) __attribute__((format(printf, 1, 2)));

    // Appends formatted text to the debug file "orvane.debug.out" in the
    // temporary directory ($TMPDIR, else /tmp). The file is opened on first
    // use without following a link planted at that name, mode 0600, and
    // announced once with "writing debug output to %s.". Nothing is written
    // when it cannot be opened.
    static void debugOut(const char *format, ...) __attribute__((format(printf, 1, 2)));

    // Closes the debug file so that the next debugOut opens it again.
    static void closeDebugOut();
};

#endif
