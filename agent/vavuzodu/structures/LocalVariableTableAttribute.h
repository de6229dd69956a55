#ifndef TESSERA_LOCALVARIABLETABLEATTRIBUTE_H
#define TESSERA_LOCALVARIABLETABLEATTRIBUTE_H

#include <vector>

#include "structures/TableAttribute.h"
#include "structures/LocalVariableTableEntry.h"

namespace Tessera {

class LocalVariableTableAttribute : public TableAttribute<LocalVariableTableEntry, 10> {
    TESSERA_CLASS(LocalVariableTableAttribute, AttributeInfo)
    TESSERA_POOLED(LocalVariableTableAttribute)
public:
    static const char *const ATTRIBUTE_NAME;
    void debug(const char *prefix) const override;
    std::vector<LocalVariableTableEntry *> &getLocalVariableTable() { return table; }
};

} // namespace Tessera

#endif
