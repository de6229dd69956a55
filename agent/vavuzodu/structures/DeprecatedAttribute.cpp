#include "structures/DeprecatedAttribute.h"

#include "io/Log.h"

namespace Tessera {

const char *const DeprecatedAttribute::CLASS_NAME = "DeprecatedAttribute";
const char *const DeprecatedAttribute::ATTRIBUTE_NAME = "Deprecated";

void DeprecatedAttribute::initInstance() { AttributeInfo::initInstance(); }

void DeprecatedAttribute::release() { AttributeInfo::release(); }

void DeprecatedAttribute::read(DataInput *) {}

void DeprecatedAttribute::write(DataOutput *output) { writeHeader(output); }

int DeprecatedAttribute::getAttributeLength() const { return 0; }

void DeprecatedAttribute::debug(const char *prefix) const { Log::debug("%s Deprecated attribute", prefix); }

} // namespace Tessera
