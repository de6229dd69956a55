#include "structures/AbstractStructureWithAttributes.h"

#include <cstring>

#include "io/DataInput.h"
#include "structures/AttributeInfo.h"
#include "structures/ClassFile.h"
#include "structures/String.h"

namespace Tessera {

const char *const AbstractStructureWithAttributes::CLASS_NAME = "AbstractStructureWithAttributes";

void AbstractStructureWithAttributes::readAttributes(DataInput *input)
{
    int count = input->readUnsignedShort();
    if (input->hasOverrun()) {
        classFile->setError();
        return;
    }
    attributes.reserve(count);
    for (int i = 0; i < count; i++) {
        AttributeInfo *a = AttributeInfo::createOrSkip(input, classFile);
        if (a == nullptr)
            return;
        attributes.push_back(a);
        if (classFile->hasError())
            return;
    }
}

void AbstractStructureWithAttributes::writeAttributes(DataOutput *output)
{
    writeList(output, attributes, "attribute");
}

AttributeInfo *AbstractStructureWithAttributes::findAttribute(const char *className) const
{
    for (AttributeInfo *a : attributes)
        if (a != nullptr && std::strcmp(a->tiClassName(), className) == 0)
            return a;
    return nullptr;
}

AttributeInfo *AbstractStructureWithAttributes::findAttributeByName(const char *name) const
{
    for (AttributeInfo *a : attributes)
        if (a != nullptr && eq_nt_str(name, a->getName(), a->getNameLength()))
            return a;
    return nullptr;
}

void AbstractStructureWithAttributes::removeAttributeWithName(const char *name)
{
    size_t kept = 0;
    for (size_t i = 0; i < attributes.size(); i++) {
        AttributeInfo *a = attributes[i];
        if (a != nullptr && eq_nt_str(name, a->getName(), a->getNameLength()))
            a->freeInstance();
        else
            attributes[kept++] = a;
    }
    attributes.resize(kept);
}

int AbstractStructureWithAttributes::getTotalAttributesLength() const
{
    int total = 0;
    for (AttributeInfo *a : attributes)
        if (a != nullptr)
            total += a->getAttributeLength();
    return total;
}

void AbstractStructureWithAttributes::deleteAttributes()
{
    for (AttributeInfo *a : attributes)
        if (a != nullptr)
            a->freeInstance();
    attributes.clear();
}

} // namespace Tessera
