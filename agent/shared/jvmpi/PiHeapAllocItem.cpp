#include "PiHeapAllocItem.h"

#include "ClassData.h"

int PiHeapAllocItem::getType() const
{
    return ClassData::getArrayTypeFromClassData(classData);
}

int PiHeapAllocItem::getSize() const
{
    if (isSpecialArray(getType()))
        return getArraySize();
    return classData != nullptr ? classData->getInstanceSize() : 0;
}

ClassData *PiHeapAllocItem::getClassData() const
{
    return isSpecialArray(getType()) ? nullptr : classData;
}
