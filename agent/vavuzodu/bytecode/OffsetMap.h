#ifndef TESSERA_OFFSETMAP_H
#define TESSERA_OFFSETMAP_H

namespace Tessera {

// Where old code positions went: built by CodeInsertion::apply, used to carry
// tables and frames over.
struct OffsetMap {
    const int *oldOffsets;  // sorted offsets of the old instructions
    int oldCount;
    const int *newOffsets;  // offsets of the new instructions
    int newCount;
    const int *indexMap;    // old index -> new index that references resolve to
    const int *ownIndex;    // old index -> new index of the instruction itself
    int oldCodeLength;
    int newCodeLength;

    // Index of the old instruction at pc (the last one when two share it), or -1.
    int findOld(int pc) const;
};

} // namespace Tessera

#endif
