#ifndef TESSERA_EXCEPTIONSATTRIBUTE_H
#define TESSERA_EXCEPTIONSATTRIBUTE_H

#include <vector>

#include "structures/AttributeInfo.h"

namespace Tessera {

class ExceptionsAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(ExceptionsAttribute)
    std::vector<int> &getExceptionIndexTable() { return exceptionIndexTable; }

private:
    std::vector<int> exceptionIndexTable;
};

} // namespace Tessera

#endif
