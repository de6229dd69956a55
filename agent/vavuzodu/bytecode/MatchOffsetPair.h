#ifndef TESSERA_MATCHOFFSETPAIR_H
#define TESSERA_MATCHOFFSETPAIR_H

#include "structures/StandaloneInstancePool.h"

namespace Tessera {

// A match and its jump offset in a lookupswitch.
class MatchOffsetPair {
public:
    static MatchOffsetPair *getInstance(int match, int offset);
    void freeInstance();
    int getMatch() const { return match; }
    void setMatch(int m) { match = m; }
    int getOffset() const { return offset; }
    void setOffset(int o) { offset = o; }
    MatchOffsetPair *getNextInstance() const { return next; }
    void setNextInstance(MatchOffsetPair *n) { next = n; }

private:
    int match = 0;
    int offset = 0;
    MatchOffsetPair *next = nullptr;
};

// Vectors of the pairs of lookupswitch instructions.
extern ts_helper::StandaloneInstancePool<MatchOffsetPair *> matchOffsetPairVectorPool;

} // namespace Tessera

#endif
