#ifndef VAVUZODU_TABLEENTRIES_H
#define VAVUZODU_TABLEENTRIES_H

#include "structures/AbstractStructure.h"

namespace Tessera {

// start_pc, end_pc, handler_pc, catch_type (0 = any), u2 each.
class ExceptionTableEntry : public AbstractStructure {
    ORVANE_CLASS(ExceptionTableEntry, AbstractStructure)
    TESSERA_POOLED(ExceptionTableEntry)
public:
    static ExceptionTableEntry *getInstance(int startPc, int endPc, int handlerPc, int catchType);
    static ExceptionTableEntry *create(DataInput *input, ClassFile *classFile);
    void initInstance() { startPc = endPc = handlerPc = catchType = 0; classFile = nullptr; }
    void release() {}
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    void debug(const char *prefix) const;
    int getStartPc() const { return startPc; }
    void setStartPc(int v) { startPc = v; }
    int getEndPc() const { return endPc; }
    void setEndPc(int v) { endPc = v; }
    int getHandlerPc() const { return handlerPc; }
    void setHandlerPc(int v) { handlerPc = v; }
    int getCatchType() const { return catchType; }
    void setCatchType(int v) { catchType = v; }

private:
    int startPc = 0, endPc = 0, handlerPc = 0, catchType = 0;
};

// start_pc, line_number, u2 each.
class LineNumberTableEntry : public AbstractStructure {
    ORVANE_CLASS(LineNumberTableEntry, AbstractStructure)
    TESSERA_POOLED(LineNumberTableEntry)
public:
    static LineNumberTableEntry *create(DataInput *input, ClassFile *classFile);
    void initInstance() { startPc = lineNumber = 0; classFile = nullptr; }
    void release() {}
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    void debug(const char *prefix) const;
    int getStartPc() const { return startPc; }
    void setStartPc(int v) { startPc = v; }
    int getLineNumber() const { return lineNumber; }
    void setLineNumber(int v) { lineNumber = v; }

private:
    int startPc = 0, lineNumber = 0;
};

// start_pc, length, name_index, descriptor_index (the signature index in a
// LocalVariableTypeTable), index; u2 each, in this order.
class LocalVariableTableEntry : public AbstractStructure {
    ORVANE_CLASS(LocalVariableTableEntry, AbstractStructure)
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

// inner_class_info_index, outer_class_info_index, inner_name_index,
// inner_class_access_flags; u2 each.
class InnerClassesEntry : public AbstractStructure {
    ORVANE_CLASS(InnerClassesEntry, AbstractStructure)
    TESSERA_POOLED(InnerClassesEntry)
public:
    static InnerClassesEntry *create(DataInput *input, ClassFile *classFile);
    void initInstance() { innerClassInfoIndex = outerClassInfoIndex = innerNameIndex = innerClassAccessFlags = 0; classFile = nullptr; }
    void release() {}
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    void debug(const char *prefix) const;
    int getInnerClassInfoIndex() const { return innerClassInfoIndex; }
    void setInnerClassInfoIndex(int v) { innerClassInfoIndex = v; }
    int getOuterClassInfoIndex() const { return outerClassInfoIndex; }
    void setOuterClassInfoIndex(int v) { outerClassInfoIndex = v; }
    int getInnerNameIndex() const { return innerNameIndex; }
    void setInnerNameIndex(int v) { innerNameIndex = v; }
    int getInnerClassAccessFlags() const { return innerClassAccessFlags; }
    void setInnerClassAccessFlags(int v) { innerClassAccessFlags = v; }
    const char *getInnerClassFormattedAccessFlags() const;

private:
    int innerClassInfoIndex = 0, outerClassInfoIndex = 0, innerNameIndex = 0, innerClassAccessFlags = 0;
};

} // namespace Tessera

#endif
