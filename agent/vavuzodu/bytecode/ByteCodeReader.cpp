#include "bytecode/ByteCodeReader.h"

#include "bytecode/Instructions.h"
#include "io/DataInput.h"
#include "io/Log.h"

namespace Tessera {

namespace {

bool isInvalidOpcode(int op) { return op >= 203 && op <= 253; }

AbstractInstruction *instructionFor(int op, bool wide)
{
    if (isInvalidOpcode(op))
        return nullptr;
    if (op == 16 || op == 18 || (op >= 21 && op <= 25) || (op >= 54 && op <= 58) || op == 169 || op == 188) {
        ImmediateByteInstruction *i = ImmediateByteInstruction::getInstance(op);
        i->setWide(wide);
        return i;
    }
    if (op == 132) {
        IncrementInstruction *i = IncrementInstruction::getInstance(op);
        i->setWide(wide);
        return i;
    }
    if (op == 185 || op == 186)
        return InvokeInterfaceInstruction::getInstance(op);
    if (op == 197)
        return MultianewarrayInstruction::getInstance(op);
    if (op == 17 || op == 19 || op == 20 || (op >= 178 && op <= 184) || op == 187 || op == 189 || op == 192 ||
        op == 193)
        return ImmediateShortInstruction::getInstance(op);
    if ((op >= 153 && op <= 168) || op == 198 || op == 199)
        return BranchInstruction::getInstance(op);
    if (op == 200 || op == 201)
        return ImmediateIntInstruction::getInstance(op);
    if (op == 170)
        return TableSwitchInstruction::getInstance(op);
    if (op == 171)
        return LookupSwitchInstruction::getInstance(op);
    return SimpleInstruction::getInstance(op);
}

} // namespace

AbstractInstruction *ByteCodeReader::readNextInstruction(DataInput *input, bool wide)
{
    int offset = input->getBytesRead();
    int op = input->readUnsignedByte();
    AbstractInstruction *i = instructionFor(op, wide);
    if (i == nullptr) {
        Log::error("invalid opcode %x", op);
        return nullptr;
    }
    i->setOffset(offset);
    i->read(input);
    return i;
}

std::vector<AbstractInstruction *> *ByteCodeReader::readByteCode(const char *code, int length)
{
    return readByteCode(code, length, nullptr, 0);
}

std::vector<AbstractInstruction *> *ByteCodeReader::readByteCode(const char *code, int length,
                                                                 AbstractInstruction **prefix, int prefixCount)
{
    std::vector<AbstractInstruction *> *list = longInstructionVectorPool.getInstance(false);
    list->reserve(prefixCount + length / 2 + 1);
    for (int i = 0; i < prefixCount; i++)
        list->push_back(prefix[i]);
    DataInput input(code, length);
    bool wide = false;
    while (input.getBytesRead() < length) {
        AbstractInstruction *i = readNextInstruction(&input, wide);
        if (i != nullptr && input.hasOverrun()) {
            Log::error("instruction at %d runs past the end of the code", i->getOffset());
            i->freeInstance();
            i = nullptr;
        }
        if (i == nullptr) {
            for (size_t k = prefixCount; k < list->size(); k++)
                (*list)[k]->freeInstance();
            longInstructionVectorPool.freeInstance(list);
            return nullptr;
        }
        list->push_back(i);
        wide = i->getOpcode() == 196;
    }
    return list;
}

bool ByteCodeReader::hasArrayAllocations(const char *code, int length)
{
    DataInput input(code, length);
    bool wide = false;
    while (input.getBytesRead() < length && !input.hasOverrun()) {
        int at = input.getBytesRead();
        int op = input.readUnsignedByte();
        if (isInvalidOpcode(op)) {
            Log::error("invalid opcode %x", op);
            return false;
        }
        if (op == 188 || op == 189 || op == 197)
            return true;
        int size = 1;
        if (op == 16 || op == 18)
            size = 2;
        else if (op == 17 || op == 19 || op == 20 || (op >= 153 && op <= 168) || (op >= 178 && op <= 184) ||
                 op == 187 || op == 192 || op == 193 || op == 198 || op == 199)
            size = 3;
        else if ((op >= 21 && op <= 25) || (op >= 54 && op <= 58) || op == 169)
            size = wide ? 3 : 2;
        else if (op == 132)
            size = wide ? 5 : 3;
        else if (op == 185 || op == 186 || op == 200 || op == 201)
            size = 5;
        if (op == 170 || op == 171) {
            input.skipBytes(PaddedInstruction::padding(at + 1));
            input.readInt(); // default
            long long count;
            if (op == 170) {
                int low = input.readInt();
                int high = input.readInt();
                count = 4LL * (static_cast<long long>(high) - low + 1);
            } else {
                count = 8LL * input.readInt();
            }
            if (count < 0 || count > input.getRemaining())
                return false;
            input.skipBytes(static_cast<int>(count));
        } else {
            input.skipBytes(size - 1);
        }
        wide = op == 196;
    }
    return false;
}

void ByteCodeReader::freeInstructions(std::vector<AbstractInstruction *> *instructions)
{
    for (AbstractInstruction *i : *instructions)
        i->freeInstance();
    longInstructionVectorPool.freeInstance(instructions);
}

} // namespace Tessera
