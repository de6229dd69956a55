#include "bytecode/MatchOffsetPair.h"

#include "structures/InstancePool.h"

namespace Tessera {

ts_helper::StandaloneInstancePool<MatchOffsetPair *> matchOffsetPairVectorPool;

MatchOffsetPair *MatchOffsetPair::getInstance(int match, int offset)
{
    MatchOffsetPair *p = ts_helper::poolOf<MatchOffsetPair>().getInstance();
    p->match = match;
    p->offset = offset;
    return p;
}

void MatchOffsetPair::freeInstance() { ts_helper::poolOf<MatchOffsetPair>().freeInstance(this); }

} // namespace Tessera
