#ifndef TESSERA_ABSTRACTSTRUCTUREWITHATTRIBUTES_H
#define TESSERA_ABSTRACTSTRUCTUREWITHATTRIBUTES_H

#include <vector>

#include "structures/AbstractStructure.h"

namespace Tessera {

class AttributeInfo;

// A structure that carries an attribute list (class, field, method, Code).
class AbstractStructureWithAttributes : public AbstractStructure {
    TESSERA_CLASS(AbstractStructureWithAttributes, AbstractStructure)
public:
    // u2 count, then each attribute (typed or raw). Stops at the first bad one;
    // the class file's error flag tells.
    virtual void readAttributes(DataInput *input);
    // u2 count, then each attribute.
    virtual void writeAttributes(DataOutput *output);

    std::vector<AttributeInfo *> &getAttributes() { return attributes; }
    // The first attribute whose tiClassName() is exactly className, or null.
    AttributeInfo *findAttribute(const char *className) const;
    // The first attribute whose name in the constant pool is name, or null.
    AttributeInfo *findAttributeByName(const char *name) const;
    // Removes and frees every attribute with that name, keeping the others' order.
    void removeAttributeWithName(const char *name);
    // Sum of the body lengths (without 6-byte headers) of the attributes.
    int getTotalAttributesLength() const;
    // Frees every attribute and empties the list.
    void deleteAttributes();

protected:
    std::vector<AttributeInfo *> attributes;
};

} // namespace Tessera

#endif
