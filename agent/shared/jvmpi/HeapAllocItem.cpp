#include "HeapAllocItem.h"

#include "ClassData.h"

int HeapAllocItem::getType() const
{
    return ClassData::getArrayTypeFromClassData(classData);
}

int HeapAllocItem::getSize() const
{
    if (isSpecialArray(getType()))
        return getArraySize();
    return classData != nullptr ? classData->getInstanceSize() : 0;
}

ClassData *HeapAllocItem::getClassData() const
{
    return isSpecialArray(getType()) ? nullptr : classData;
}
