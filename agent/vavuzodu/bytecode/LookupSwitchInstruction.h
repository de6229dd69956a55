#ifndef TESSERA_LOOKUPSWITCHINSTRUCTION_H
#define TESSERA_LOOKUPSWITCHINSTRUCTION_H

#include <vector>

#include "bytecode/MatchOffsetPair.h"
#include "bytecode/PaddedInstruction.h"

namespace Tessera {

class LookupSwitchInstruction : public PaddedInstruction {
    TESSERA_CLASS(LookupSwitchInstruction, PaddedInstruction)
public:
    static LookupSwitchInstruction *getInstance(int opcode);
    // Returns its pairs and their vector to their pools first.
    void freeInstance() override;
    void initInstance(int op);
    int getSize() const override { return 9 + 8 * static_cast<int>(matchOffsetPairs->size()); }
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    std::vector<MatchOffsetPair *> *getMatchOffsetPairs() { return matchOffsetPairs; }
    // Returns the old pairs and vector to their pools and takes v (not null).
    void setMatchOffsetPairs(std::vector<MatchOffsetPair *> *v);

private:
    void releasePairs();
    std::vector<MatchOffsetPair *> *matchOffsetPairs = nullptr;
};

} // namespace Tessera

#endif
