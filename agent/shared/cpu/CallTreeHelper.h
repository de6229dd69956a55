#ifndef AGENT_CALLTREEHELPER_H
#define AGENT_CALLTREEHELPER_H

#include <cstdint>
#include <vector>

class AnnotationBytes;
class DataWriter;

// Helpers of the call trees that need no VM.
class CallTreeHelper {
public:
    // One row of a method's line number table: the first bytecode index of
    // the line and the line.
    struct LineEntry {
        long long start;
        int line;
    };
    // The line of a bytecode location: the entry with the greatest start at
    // or before it (the last entry runs to the end of the method); 0 without
    // a table or before its first entry. Entries may come in any order.
    static uint16_t translateLineNo(const LineEntry *entries, int count, long long location);
    // Writes the Java side's bytes for a node's annotation ids; false (and
    // nothing written) without a Java side or when it gives nothing.
    static bool writeAnnotations(DataWriter *writer, const std::vector<long long> &ids, AnnotationBytes *javaSide);
};

#endif
