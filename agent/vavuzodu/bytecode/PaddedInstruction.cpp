#include "bytecode/PaddedInstruction.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"

namespace Tessera {

const char *const PaddedInstruction::CLASS_NAME = "PaddedInstruction";

void PaddedInstruction::readPadding(DataInput *input) { input->skipBytes(padding(input->getBytesRead())); }

void PaddedInstruction::writePadding(DataOutput *output)
{
    for (int n = padding(output->getSize()); n > 0; n--)
        output->writeByte(0);
}

} // namespace Tessera
