#ifndef TESSERA_TABLEATTRIBUTE_H
#define TESSERA_TABLEATTRIBUTE_H

#include <vector>

#include "structures/AttributeInfo.h"

namespace Tessera {

// An attribute whose body is a u2 count and that many entries of EntrySize bytes
// (InnerClasses, LineNumberTable, LocalVariableTable, LocalVariableTypeTable).
// Entry is a pooled structure with create(input, classFile) and write(output).
// A derived class adds its pool, its names and its accessor for the table.
template <class Entry, int EntrySize>
class TableAttribute : public AttributeInfo {
public:
    // Releases the attribute, then returns the entries to their pool.
    void release()
    {
        AttributeInfo::release();
        freeTable(table);
    }
    void read(DataInput *input) override { readTable(input, classFile, table); }
    void write(DataOutput *output) override
    {
        writeHeader(output);
        writeTable(output, table);
    }
    int getAttributeLength() const override { return 2 + EntrySize * static_cast<int>(table.size()); }

protected:
    std::vector<Entry *> table;
};

} // namespace Tessera

#endif
