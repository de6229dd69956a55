#ifndef VAVUZODU_TYPEDATTRIBUTES_H
#define VAVUZODU_TYPEDATTRIBUTES_H

#include <vector>

#include "structures/AttributeInfo.h"
#include "structures/TableEntries.h"

namespace Tessera {

#define TESSERA_TYPED_ATTRIBUTE(Class)                                         \
    ORVANE_CLASS(Class, AttributeInfo)                                          \
    TESSERA_POOLED(Class)                                                       \
public:                                                                         \
    static const char *const ATTRIBUTE_NAME;                                    \
    void initInstance();                                                        \
    void release();                                                             \
    void read(DataInput *input) override;                                       \
    void write(DataOutput *output) override;                                    \
    int getAttributeLength() const override;                                    \
    void debug(const char *prefix) const override;

class ConstantValueAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(ConstantValueAttribute)
    int getConstantvalueIndex() const { return constantvalueIndex; }
    void setConstantvalueIndex(int i) { constantvalueIndex = i; }

private:
    int constantvalueIndex = 0;
};

class SourceFileAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(SourceFileAttribute)
    int getSourcefileIndex() const { return sourcefileIndex; }
    void setSourcefileIndex(int i) { sourcefileIndex = i; }

private:
    int sourcefileIndex = 0;
};

class SyntheticAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(SyntheticAttribute)
};

class DeprecatedAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(DeprecatedAttribute)
};

class ExceptionsAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(ExceptionsAttribute)
    std::vector<int> &getExceptionIndexTable() { return exceptionIndexTable; }

private:
    std::vector<int> exceptionIndexTable;
};

class InnerClassesAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(InnerClassesAttribute)
    std::vector<InnerClassesEntry *> &getClasses() { return classes; }

private:
    std::vector<InnerClassesEntry *> classes;
};

class LineNumberTableAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(LineNumberTableAttribute)
    std::vector<LineNumberTableEntry *> &getLineNumberTable() { return table; }

private:
    std::vector<LineNumberTableEntry *> table;
};

class LocalVariableTableAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(LocalVariableTableAttribute)
    std::vector<LocalVariableTableEntry *> &getLocalVariableTable() { return table; }

private:
    std::vector<LocalVariableTableEntry *> table;
};

// Same layout as LocalVariableTable; the descriptor index holds the signature index.
class LocalVariableTypeTableAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(LocalVariableTypeTableAttribute)
    std::vector<LocalVariableTableEntry *> &getLocalVariableTable() { return table; }

private:
    std::vector<LocalVariableTableEntry *> table;
};

// max_stack, max_locals, code, exception table and nested attributes. Parsed code
// points into the class bytes; code given to setCode is owned.
class CodeAttribute : public AttributeInfo {
    TESSERA_TYPED_ATTRIBUTE(CodeAttribute)
    // The code length; *out (when out is set) receives the code pointer.
    int getCode(const char **out) const;
    // Frees owned code, then takes ownership of bytes (new[]).
    void setCode(char *bytes, int length);
    std::vector<ExceptionTableEntry *> &getExceptionTable() { return exceptionTable; }
    int getMaxStack() const { return maxStack; }
    void setMaxStack(int v) { maxStack = v; }
    int getMaxLocals() const { return maxLocals; }
    void setMaxLocals(int v) { maxLocals = v; }

private:
    int maxStack = 0;
    int maxLocals = 0;
    const char *code = nullptr;
    int codeLength = 0;
    bool ownsCode = false;
    std::vector<ExceptionTableEntry *> exceptionTable;
};

// Skips attributes without building them.
class AttributeHelper {
public:
    // Reads a u2 count and skips that many attributes (u2 name, u4 length, body).
    // False when they run past the input's end.
    static bool skipAttributes(DataInput *input);
};

} // namespace Tessera

#endif
