#ifndef AGENT_ANNOTATIONHOTSPOTS_H
#define AGENT_ANNOTATIONHOTSPOTS_H

#include <vector>

#include "CallStackTree.h"

class DataReader;
class DataWriter;
class PayloadHotspots;
class ProbeNodeIds;
class ThreadManager;

// The probe hotspot view (command 57): the Java side ranks the payloads of
// the probe view tree; the agent answers, per requested hotspot, the back
// traces of the view nodes the hotspot came from.
class AnnotationHotspots {
public:
    // Reads the probe name; when the view was regenerated hands every
    // annotated view node to the Java side (under its id in `nodeIds`) and
    // the selected threads; writes the Java side's hotspot list (two zero
    // bytes when it has none); then reads U4 n and n hotspot indexes and per
    // index writes byte 1, U4 index and two back-trace trees in snapshot form
    // (entry flags 0x2E): origins with positive and with negative counts;
    // byte 0 ends the reply. Origins whose node id no longer resolves in the
    // view tree are skipped.
    static void writeHotspots(DataWriter *writer, DataReader *reader, CallStackTree *viewTree,
                              const std::vector<ThreadManager *> &selectedThreads, const AnnotationMap &annotations,
                              InstancePool<CallStackTree> *pool, bool regenerated, int valueKind, PayloadHotspots *javaSide,
                              ProbeNodeIds *nodeIds);
    // Mirrors the path from `node` up to (not including) its root under
    // `target`, innermost first, adding time and count to every mirrored node.
    static void addBackTrace(CallStackTree *target, const CallStackTree *node, long long time, long long count,
                             InstancePool<CallStackTree> *pool);
};

#endif
