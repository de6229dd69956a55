#ifndef TESSERA_ATTRIBUTEINFO_H
#define TESSERA_ATTRIBUTEINFO_H

#include <vector>

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "structures/AbstractStructureWithAttributes.h"

namespace Tessera {

// An attribute. This class itself is the raw kind: its body is kept as bytes
// (borrowed from the class bytes, or an owned replacement) and written back as is.
// Typed kinds derive from it and recompute their length on output.
class AttributeInfo : public AbstractStructureWithAttributes {
    TESSERA_CLASS(AttributeInfo, AbstractStructureWithAttributes)
    TESSERA_POOLED(AttributeInfo)
public:
    // A raw attribute of the given body length (no body yet).
    static AttributeInfo *getInstance(int length);
    // Reads u2 name index and u4 length, then the body into a typed or raw attribute
    // chosen by the name. A body that does not fill exactly its declared length,
    // a bad name index or a body past the input's end set the class file's error
    // flag; the input is then left at the declared end (or the input's end).
    // Null when nothing could be read.
    static AttributeInfo *createOrSkip(DataInput *input, ClassFile *classFile);

    void initInstance();
    void release();
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    // Length of the body as written.
    virtual int getAttributeLength() const { return attributeLength; }
    virtual void debug(const char *) const {}

    int getAttributeNameIndex() const { return attributeNameIndex; }
    void setAttributeNameIndex(int i) { attributeNameIndex = i; }
    // Characters (not NUL-terminated) and length of the name; null and 0 when unknown.
    const char *getName() const;
    int getNameLength() const;

    void setAttributeLength(int n) { attributeLength = n; }
    const char *getBody() const { return replacement != nullptr ? replacement : body; }
    // Takes ownership of bytes (new[]) as the new body of a raw attribute.
    void setReplacementBody(char *bytes, int length);

protected:
    void writeHeader(DataOutput *output) const;

    // u2 count, then the entries; stops early past the input's end.
    template <class T>
    static void readTable(DataInput *input, ClassFile *classFile, std::vector<T *> &table)
    {
        int count = input->readUnsignedShort();
        table.reserve(count);
        for (int i = 0; i < count && !input->hasOverrun(); i++)
            table.push_back(T::create(input, classFile));
    }

    // u2 count, then the entries.
    template <class T>
    static void writeTable(DataOutput *output, std::vector<T *> &table)
    {
        output->writeShort(static_cast<int>(table.size()));
        for (T *e : table)
            e->write(output);
    }

    // Returns the entries to their pool and empties the table.
    template <class T>
    static void freeTable(std::vector<T *> &table)
    {
        for (T *e : table)
            e->freeInstance();
        table.clear();
    }


    int attributeNameIndex = 0;
    int attributeLength = 0;
    const char *body = nullptr;
    char *replacement = nullptr;
};

} // namespace Tessera

// Declares what a typed attribute class defines: its pool, its name in the class
// file, and the structure operations.
#define TESSERA_TYPED_ATTRIBUTE(Class)                                         \
    TESSERA_CLASS(Class, AttributeInfo)                                          \
    TESSERA_POOLED(Class)                                                       \
public:                                                                         \
    static const char *const ATTRIBUTE_NAME;                                    \
    void initInstance();                                                        \
    void release();                                                             \
    void read(DataInput *input) override;                                       \
    void write(DataOutput *output) override;                                    \
    int getAttributeLength() const override;                                    \
    void debug(const char *prefix) const override;

#endif
