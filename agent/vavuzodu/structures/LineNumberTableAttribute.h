#ifndef TESSERA_LINENUMBERTABLEATTRIBUTE_H
#define TESSERA_LINENUMBERTABLEATTRIBUTE_H

#include <vector>

#include "structures/TableAttribute.h"
#include "structures/LineNumberTableEntry.h"

namespace Tessera {

class LineNumberTableAttribute : public TableAttribute<LineNumberTableEntry, 4> {
    TESSERA_CLASS(LineNumberTableAttribute, AttributeInfo)
    TESSERA_POOLED(LineNumberTableAttribute)
public:
    static const char *const ATTRIBUTE_NAME;
    void debug(const char *prefix) const override;
    std::vector<LineNumberTableEntry *> &getLineNumberTable() { return table; }
};

} // namespace Tessera

#endif
