#ifndef TESSERA_CODEATTRIBUTE_H
#define TESSERA_CODEATTRIBUTE_H

#include <vector>

#include "structures/AttributeInfo.h"
#include "structures/ExceptionTableEntry.h"

namespace Tessera {

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

} // namespace Tessera

#endif
