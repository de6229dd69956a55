#include "structures/AbstractStructure.h"


#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"
#include "structures/ConstantUtf8Info.h"

namespace Tessera {

const char *const AbstractStructure::CLASS_NAME = "AbstractStructure";

const char *AbstractStructure::getUtf8Chars(int index) const
{
    ConstantUtf8Info *u = classFile == nullptr ? nullptr : classFile->findUtf8(index);
    return u == nullptr ? nullptr : u->getString();
}

int AbstractStructure::getUtf8Length(int index) const
{
    ConstantUtf8Info *u = classFile == nullptr ? nullptr : classFile->findUtf8(index);
    return u == nullptr ? 0 : u->getStringLength();
}

void AbstractStructure::writeListCount(DataOutput *output, size_t count)
{
    output->writeShort(static_cast<int>(count));
}

void AbstractStructure::writeListEntry(DataOutput *output, AbstractStructure *entry, const char *what, size_t position)
{
    if (entry == nullptr) {
        Log::error("%s %d is null", what, static_cast<int>(position));
        return;
    }
    entry->write(output);
}

} // namespace Tessera
