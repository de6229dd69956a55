#include "structures/InnerClassesEntry.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/AbstractStructureHelper.h"

namespace Tessera {

const char *const InnerClassesEntry::CLASS_NAME = "InnerClassesEntry";

InnerClassesEntry *InnerClassesEntry::create(DataInput *input, ClassFile *classFile)
{
    return readInstance<InnerClassesEntry>(input, classFile);
}

void InnerClassesEntry::read(DataInput *input)
{
    innerClassInfoIndex = input->readUnsignedShort();
    outerClassInfoIndex = input->readUnsignedShort();
    innerNameIndex = input->readUnsignedShort();
    innerClassAccessFlags = input->readUnsignedShort();
}

void InnerClassesEntry::write(DataOutput *output)
{
    output->writeShort(innerClassInfoIndex);
    output->writeShort(outerClassInfoIndex);
    output->writeShort(innerNameIndex);
    output->writeShort(innerClassAccessFlags);
}

const char *InnerClassesEntry::getInnerClassFormattedAccessFlags() const
{
    return AbstractStructureHelper::printAccessFlags(innerClassAccessFlags);
}

void InnerClassesEntry::debug(const char *prefix) const
{
    Log::debug("%s InnerClasses entry with inner_class_info_index %d, outer_class_info_index %d, inner_name_index %d, "
               "access flags %s",
               prefix, innerClassInfoIndex, outerClassInfoIndex, innerNameIndex, getInnerClassFormattedAccessFlags());
}

} // namespace Tessera
