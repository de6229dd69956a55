#ifndef AGENT_ANNOTATIONBYTES_H
#define AGENT_ANNOTATIONBYTES_H

#include <vector>

// The Java side's encoding of the probe payloads behind annotation ids. The
// bytes are opaque to the agent and written as they come. The interface
// binding implements it; tests use a fake.
class AnnotationBytes {
public:
    virtual ~AnnotationBytes() = default;
    // The bytes for `ids`; false when the Java side gives none.
    virtual bool getBytes(const std::vector<long long> &ids, std::vector<unsigned char> *bytes) = 0;
    // Forgets every payload: CPU recording starts anew.
    virtual void reset() {}
};

#endif
