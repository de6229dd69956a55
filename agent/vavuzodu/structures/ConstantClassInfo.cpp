#include "structures/ConstantClassInfo.h"


namespace Tessera {

const char *const ConstantClassInfo::CLASS_NAME = "ConstantClassInfo";

const char *ConstantClassInfo::getName() const { return getUtf8Chars(index); }

int ConstantClassInfo::getNameLength() const { return getUtf8Length(index); }

} // namespace Tessera
