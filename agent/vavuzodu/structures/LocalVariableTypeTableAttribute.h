#ifndef TESSERA_LOCALVARIABLETYPETABLEATTRIBUTE_H
#define TESSERA_LOCALVARIABLETYPETABLEATTRIBUTE_H

#include <vector>

#include "structures/TableAttribute.h"
#include "structures/LocalVariableTableEntry.h"

namespace Tessera {

// Same layout as LocalVariableTable; the descriptor index holds the signature index.
class LocalVariableTypeTableAttribute : public TableAttribute<LocalVariableTableEntry, 10> {
    TESSERA_CLASS(LocalVariableTypeTableAttribute, AttributeInfo)
    TESSERA_POOLED(LocalVariableTypeTableAttribute)
public:
    static const char *const ATTRIBUTE_NAME;
    void debug(const char *prefix) const override;
    std::vector<LocalVariableTableEntry *> &getLocalVariableTable() { return table; }
};

} // namespace Tessera

#endif
