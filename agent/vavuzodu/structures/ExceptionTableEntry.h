#ifndef TESSERA_EXCEPTIONTABLEENTRY_H
#define TESSERA_EXCEPTIONTABLEENTRY_H

#include "structures/AbstractStructure.h"

namespace Tessera {

// start_pc, end_pc, handler_pc, catch_type (0 = any), u2 each.
class ExceptionTableEntry : public AbstractStructure {
    TESSERA_CLASS(ExceptionTableEntry, AbstractStructure)
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

} // namespace Tessera

#endif
