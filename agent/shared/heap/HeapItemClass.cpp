#include "HeapItemClass.h"

#include "ClassData.h"
#include "DataWriter.h"

// Snapshot form of allocation trees: method, value, count, line.
static const int TREE_FLAGS = CallStackTree::ENTRY_METHOD | CallStackTree::ENTRY_VALUE | CallStackTree::ENTRY_COUNT
                              | CallStackTree::ENTRY_LINE;

HeapItemClass::HeapItemClass(int typeCode, ClassData *cls, InstancePool<CallStackTree> *treePool)
    : type(static_cast<uint16_t>(cls != nullptr ? ClassData::getArrayTypeFromClassData(cls) : (typeCode == 0 ? 2 : typeCode))),
      classData(cls), pool(treePool), tree(treePool->getInstance(false))
{
    tree->initialize(nullptr, nullptr, nullptr, 0);
}

HeapItemClass::~HeapItemClass()
{
    tree->freeAll(pool);
}

void HeapItemClass::resetTree()
{
    CallStackTree *old = tree;
    tree = pool->getInstance(false);
    tree->initialize(nullptr, nullptr, nullptr, 0);
    old->freeAll(pool);
}

void HeapItemClass::addInstance(long long bytes)
{
    count++;
    size += bytes;
}

void HeapItemClass::removeInstance(long long bytes)
{
    count = count > 0 ? count - 1 : 0;
    size = size > bytes ? size - bytes : 0;
}

void HeapItemClass::write(DataWriter *writer, bool markSent, bool withTree)
{
    if (markSent) {
        countSent = count;
        sizeSent = size;
    }
    writer->writeU2(type);
    writer->writeID(classData);
    writer->writeJLong(count);
    writer->writeJLong(size);
    if (!withTree)
        return;
    if (tree != nullptr)
        tree->write(writer, TREE_FLAGS);
    else
        writer->writeByte(0);
}

void HeapItemClass::adoptTree(CallStackTree *newTree)
{
    if (newTree == nullptr)
        return;
    tree->freeAll(pool);
    tree = newTree;
}
