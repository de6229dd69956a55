#ifndef TESSERA_INNERCLASSESATTRIBUTE_H
#define TESSERA_INNERCLASSESATTRIBUTE_H

#include <vector>

#include "structures/TableAttribute.h"
#include "structures/InnerClassesEntry.h"

namespace Tessera {

class InnerClassesAttribute : public TableAttribute<InnerClassesEntry, 8> {
    TESSERA_CLASS(InnerClassesAttribute, AttributeInfo)
    TESSERA_POOLED(InnerClassesAttribute)
public:
    static const char *const ATTRIBUTE_NAME;
    void debug(const char *prefix) const override;
    std::vector<InnerClassesEntry *> &getClasses() { return table; }
};

} // namespace Tessera

#endif
