#ifndef TESSERA_LOCALVARIABLETABLEENTRY_H
#define TESSERA_LOCALVARIABLETABLEENTRY_H

#include "structures/AbstractStructure.h"

namespace Tessera {

// start_pc, length, name_index, descriptor_index (the signature index in a
// LocalVariableTypeTable), index; u2 each, in this order.
class LocalVariableTableEntry : public AbstractStructure {
    TESSERA_CLASS(LocalVariableTableEntry, AbstractStructure)
    TESSERA_POOLED(LocalVariableTableEntry)
public:
    static LocalVariableTableEntry *create(DataInput *input, ClassFile *classFile);
    void initInstance() { startPc = length = nameIndex = descriptorIndex = index = 0; classFile = nullptr; }
    void release() {}
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    void debug(const char *prefix) const;
    int getStartPc() const { return startPc; }
    void setStartPc(int v) { startPc = v; }
    int getLength() const { return length; }
    void setLength(int v) { length = v; }
    int getNameIndex() const { return nameIndex; }
    void setNameIndex(int v) { nameIndex = v; }
    int getDescriptorIndex() const { return descriptorIndex; }
    void setDescriptorIndex(int v) { descriptorIndex = v; }
    int getIndex() const { return index; }
    void setIndex(int v) { index = v; }

private:
    int startPc = 0, length = 0, nameIndex = 0, descriptorIndex = 0, index = 0;
};

} // namespace Tessera

#endif
