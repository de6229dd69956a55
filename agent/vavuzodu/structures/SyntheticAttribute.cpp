#include "structures/SyntheticAttribute.h"

#include "io/Log.h"

namespace Tessera {

const char *const SyntheticAttribute::CLASS_NAME = "SyntheticAttribute";
const char *const SyntheticAttribute::ATTRIBUTE_NAME = "Synthetic";

void SyntheticAttribute::initInstance() { AttributeInfo::initInstance(); }

void SyntheticAttribute::release() { AttributeInfo::release(); }

void SyntheticAttribute::read(DataInput *) {}

void SyntheticAttribute::write(DataOutput *output) { writeHeader(output); }

int SyntheticAttribute::getAttributeLength() const { return 0; }

void SyntheticAttribute::debug(const char *prefix) const { Log::debug("%s Synthetic attribute", prefix); }

} // namespace Tessera
