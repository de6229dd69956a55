#include "structures/LineNumberTableEntry.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const LineNumberTableEntry::CLASS_NAME = "LineNumberTableEntry";

LineNumberTableEntry *LineNumberTableEntry::create(DataInput *input, ClassFile *classFile)
{
    return readInstance<LineNumberTableEntry>(input, classFile);
}

void LineNumberTableEntry::read(DataInput *input)
{
    startPc = input->readUnsignedShort();
    lineNumber = input->readUnsignedShort();
}

void LineNumberTableEntry::write(DataOutput *output)
{
    output->writeShort(startPc);
    output->writeShort(lineNumber);
}

void LineNumberTableEntry::debug(const char *prefix) const
{
    Log::debug("%s LineNumberTable entry with start_pc %d, line_number %d", prefix, startPc, lineNumber);
}

} // namespace Tessera
