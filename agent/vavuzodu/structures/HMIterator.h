#ifndef TESSERA_HMITERATOR_H
#define TESSERA_HMITERATOR_H

#include "structures/ChainIterator.h"
#include "structures/HashMap.h"

namespace ts_helper {

// Walks a HashMap from the last bucket down to bucket 0, each chain from its
// head (newest first). The map must not change during the walk except through
// remove().
template <class K, class V>
class HMIterator : public ChainIterator<HashMap<K, V>, HMEntry<K, V>, V> {
public:
    explicit HMIterator(HashMap<K, V> *map) : ChainIterator<HashMap<K, V>, HMEntry<K, V>, V>(map) {}
    // The next entry itself, or null at the end.
    HMEntry<K, V> *nextHMEntry() { return this->nextEntry(); }
};

} // namespace ts_helper

#endif
