#include "structures/ExceptionTableEntry.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ExceptionTableEntry::CLASS_NAME = "ExceptionTableEntry";

ExceptionTableEntry *ExceptionTableEntry::getInstance(int startPc, int endPc, int handlerPc, int catchType)
{
    ExceptionTableEntry *e = getInstance();
    e->startPc = startPc;
    e->endPc = endPc;
    e->handlerPc = handlerPc;
    e->catchType = catchType;
    return e;
}

ExceptionTableEntry *ExceptionTableEntry::create(DataInput *input, ClassFile *classFile)
{
    return readInstance<ExceptionTableEntry>(input, classFile);
}

void ExceptionTableEntry::read(DataInput *input)
{
    startPc = input->readUnsignedShort();
    endPc = input->readUnsignedShort();
    handlerPc = input->readUnsignedShort();
    catchType = input->readUnsignedShort();
}

void ExceptionTableEntry::write(DataOutput *output)
{
    output->writeShort(startPc);
    output->writeShort(endPc);
    output->writeShort(handlerPc);
    output->writeShort(catchType);
}

void ExceptionTableEntry::debug(const char *prefix) const
{
    Log::debug("%s exception table entry with start_pc %d, end_pc %d, handler_pc %d, catch_type %d", prefix, startPc,
               endPc, handlerPc, catchType);
}

} // namespace Tessera
