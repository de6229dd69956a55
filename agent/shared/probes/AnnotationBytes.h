#ifndef AGENT_ANNOTATIONBYTES_H
#define AGENT_ANNOTATIONBYTES_H

#include <utility>
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
    // A merge moved calls from the first id of each pair to the second: their
    // payloads follow. With the flag they join what the second id holds,
    // else they replace it (its node was emptied before the merge).
    virtual void moveAnnotations(const std::vector<std::pair<long long, long long>> &, bool) {}
    // The probes the front end tracks from now on (an empty list: none).
    virtual void setTracking(const std::vector<int> &) {}
};

#endif
