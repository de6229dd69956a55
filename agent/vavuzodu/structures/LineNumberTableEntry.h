#ifndef TESSERA_LINENUMBERTABLEENTRY_H
#define TESSERA_LINENUMBERTABLEENTRY_H

#include "structures/AbstractStructure.h"

namespace Tessera {

// start_pc, line_number, u2 each.
class LineNumberTableEntry : public AbstractStructure {
    TESSERA_CLASS(LineNumberTableEntry, AbstractStructure)
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

} // namespace Tessera

#endif
