#ifndef AGENT_SNAPSHOTJAVAPART_H
#define AGENT_SNAPSHOTJAVAPART_H

#include <vector>

class DataWriter;

// Section 6, written by the agent's Java side: started before the locks,
// its payloads saved between the locked parts, finished last.
class SnapshotJavaPart {
public:
    virtual ~SnapshotJavaPart() = default;
    virtual void startSave(bool recorder) = 0;
    virtual void savePayloads(bool savePayloads) = 0;
    // Writes the section body (the empty part when the Java side has none).
    virtual void finishSave(DataWriter *writer) = 0;
    // The probe descriptions the CPU section carries; false when there are none.
    virtual bool probeMetaData(std::vector<unsigned char> *) { return false; }

    // The body of a Java part without data: byte 0, U4 0, byte 0, byte 0, byte 0.
    static void writeEmptyPart(DataWriter *writer);
};

#endif
