#include "structures/SourceFileAttribute.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const SourceFileAttribute::CLASS_NAME = "SourceFileAttribute";
const char *const SourceFileAttribute::ATTRIBUTE_NAME = "SourceFile";

void SourceFileAttribute::initInstance() { AttributeInfo::initInstance(); sourcefileIndex = 0; }

void SourceFileAttribute::release() { AttributeInfo::release(); }

void SourceFileAttribute::read(DataInput *input) { sourcefileIndex = input->readUnsignedShort(); }

void SourceFileAttribute::write(DataOutput *output)
{
    writeHeader(output);
    output->writeShort(sourcefileIndex);
}

int SourceFileAttribute::getAttributeLength() const { return 2; }

void SourceFileAttribute::debug(const char *prefix) const
{
    Log::debug("%s SourceFile attribute with sourcefile_index %d", prefix, sourcefileIndex);
}

} // namespace Tessera
