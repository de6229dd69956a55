#include "bytecode/TableSwitchInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const TableSwitchInstruction::CLASS_NAME = "TableSwitchInstruction";

void TableSwitchInstruction::read(DataInput *input)
{
    readPadding(input);
    defaultOffset = input->readInt();
    lowByte = input->readInt();
    highByte = input->readInt();
    long long entries = static_cast<long long>(highByte) - lowByte + 1;
    // A table larger than what is left of the code cannot be real: leave it empty
    // and let the overrun flag tell.
    if (entries <= 0 || entries > input->getRemaining() / 4) {
        input->skipBytes(input->getRemaining() + 1);
        return;
    }
    jumpOffsets.reserve(static_cast<size_t>(entries));
    for (long long i = 0; i < entries; i++)
        jumpOffsets.push_back(input->readInt());
}

void TableSwitchInstruction::write(DataOutput *output)
{
    output->writeByte(opcode);
    writePadding(output);
    output->writeInt(defaultOffset);
    output->writeInt(lowByte);
    output->writeInt(highByte);
    for (int o : jumpOffsets)
        output->writeInt(o);
}

} // namespace Tessera
