#include "bytecode/LookupSwitchInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const LookupSwitchInstruction::CLASS_NAME = "LookupSwitchInstruction";

LookupSwitchInstruction *LookupSwitchInstruction::getInstance(int opcode)
{
    LookupSwitchInstruction *o = ts_helper::poolOf<LookupSwitchInstruction>().getInstance();
    o->initInstance(opcode);
    return o;
}

void LookupSwitchInstruction::initInstance(int op)
{
    opcode = op;
    offset = 0;
    defaultOffset = 0;
    if (matchOffsetPairs == nullptr)
        matchOffsetPairs = matchOffsetPairVectorPool.getInstance(false);
}

void LookupSwitchInstruction::releasePairs()
{
    if (matchOffsetPairs == nullptr)
        return;
    for (MatchOffsetPair *p : *matchOffsetPairs)
        p->freeInstance();
    matchOffsetPairVectorPool.freeInstance(matchOffsetPairs);
    matchOffsetPairs = nullptr;
}

void LookupSwitchInstruction::freeInstance()
{
    releasePairs();
    ts_helper::poolOf<LookupSwitchInstruction>().freeInstance(this);
}

void LookupSwitchInstruction::setMatchOffsetPairs(std::vector<MatchOffsetPair *> *v)
{
    releasePairs();
    matchOffsetPairs = v;
}

void LookupSwitchInstruction::read(DataInput *input)
{
    readPadding(input);
    defaultOffset = input->readInt();
    int count = input->readInt();
    if (count < 0 || count > input->getRemaining() / 8) {
        input->skipBytes(input->getRemaining() + 1);
        return;
    }
    matchOffsetPairs->reserve(count);
    for (int i = 0; i < count; i++) {
        int match = input->readInt();
        matchOffsetPairs->push_back(MatchOffsetPair::getInstance(match, input->readInt()));
    }
}

void LookupSwitchInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    writePadding(output);
    output->writeInt(defaultOffset);
    output->writeInt(static_cast<int>(matchOffsetPairs->size()));
    for (MatchOffsetPair *p : *matchOffsetPairs) {
        output->writeInt(p->getMatch());
        output->writeInt(p->getOffset());
    }
}

} // namespace Tessera
