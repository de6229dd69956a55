#ifndef KVR_TOOLS_FRONTEND_TEXTREPORT_H
#define KVR_TOOLS_FRONTEND_TEXTREPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "CallTreeView.h"

class Registry;
struct HeapEntry;
struct AllocationHotspotReply;

// The views as a person reads them: methods named as Java writes them
// ("Demo.fib(int)"), times in milliseconds, counts with thousands
// separators. Pure text functions; the replies are read elsewhere.
class TextReport {
public:
    // "1,234,567".
    static std::string thousands(uint64_t value);
    // Microseconds as "1,234.5 ms".
    static std::string milliseconds(int64_t micros);
    // "Demo.fib(int)", "Demo$Point.distanceTo(Demo$Point)" for a method id;
    // the registry's short form when the method or its signature is unknown.
    static std::string javaMethod(const Registry &registry, uint64_t methodId);
    // "(I[Ljava/lang/String;)V" as "(int, java.lang.String[])"; empty when the
    // descriptor is malformed.
    static std::string javaParameters(const std::string &descriptor);
    // "  [hooks removed after 200,000 calls: counts stop here]" for a method
    // auto-tuning took the hooks from, with the calls recorded for it; empty
    // for every other method.
    static std::string hooksRemovedMark(const Registry &registry, uint64_t methodId, uint64_t calls);
    // The hot spots of command 42: at most `rows` methods with their own
    // time, share of the total and calls.
    static std::string hotspots(const HotspotReply &reply, const Registry &registry, size_t rows);
    // The top of a call tree: the nodes down to `depth` levels below the root
    // whose time is at least `minPerMille` of the root's (of its children's
    // when the root has no time of its own, as a cumulated tree), children by time,
    // and one line per node saying how many nodes were left out there. A
    // method auto-tuning took the hooks from carries the mark, with its calls
    // in the whole tree.
    static std::string callTreeTop(const ViewNode &root, const Registry &registry, int depth, int minPerMille);
    // The same for an allocation tree: bytes and objects allocated at or below each node.
    static std::string allocationTreeTop(const ViewNode &root, const Registry &registry, int depth, int minPerMille);
    // "int[]" for type 8; "object arrays" for 3.
    static std::string arrayTypeName(uint16_t type);
    // A heap list (commands 3 and 4): its totals, then one row per class or
    // array type, the most bytes first.
    static std::string heapList(const std::string &title, const std::vector<HeapEntry> &entries, const Registry &registry);
    // The allocation hot spots of command 51 with their share of the sum.
    static std::string allocationHotspots(const AllocationHotspotReply &reply, const Registry &registry);
};

#endif
