#include "structures/AttributeInfo.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/TypedAttributes.h"

namespace Tessera {

const char *const AttributeInfo::CLASS_NAME = "AttributeInfo";

namespace {

// The typed kinds, looked up by name in this order; anything else stays raw.
struct TypedKind {
    const char *name;
    AttributeInfo *(*make)();
};

template <class T>
AttributeInfo *makeTyped()
{
    return T::getInstance();
}

const TypedKind typedKinds[] = {
    {"ConstantValue", makeTyped<ConstantValueAttribute>},
    {"Code", makeTyped<CodeAttribute>},
    {"Exceptions", makeTyped<ExceptionsAttribute>},
    {"InnerClasses", makeTyped<InnerClassesAttribute>},
    {"Synthetic", makeTyped<SyntheticAttribute>},
    {"SourceFile", makeTyped<SourceFileAttribute>},
    {"LineNumberTable", makeTyped<LineNumberTableAttribute>},
    {"LocalVariableTable", makeTyped<LocalVariableTableAttribute>},
    {"LocalVariableTypeTable", makeTyped<LocalVariableTypeTableAttribute>},
    {"Deprecated", makeTyped<DeprecatedAttribute>},
};

} // namespace

AttributeInfo *AttributeInfo::getInstance(int length)
{
    AttributeInfo *a = getInstance();
    a->attributeLength = length;
    return a;
}

void AttributeInfo::initInstance()
{
    classFile = nullptr;
    attributeNameIndex = 0;
    attributeLength = 0;
    body = nullptr;
    replacement = nullptr;
}

void AttributeInfo::release()
{
    delete[] replacement;
    replacement = nullptr;
    body = nullptr;
    deleteAttributes();
}

AttributeInfo *AttributeInfo::createOrSkip(DataInput *input, ClassFile *classFile)
{
    int nameIndex = input->readUnsignedShort();
    int length = input->readInt();
    if (input->hasOverrun()) {
        Log::error("attribute header past the end of the class");
        classFile->setError();
        return nullptr;
    }
    ConstantUtf8Info *name = classFile->getConstantPoolUtf8Entry(nameIndex);
    if (name == nullptr)
        return nullptr;
    if (length < 0 || length > input->getRemaining()) {
        Log::error("attribute %.*s of length %u runs past the end of the class", name->getStringLength(),
                   name->getString(), static_cast<unsigned int>(length));
        classFile->setError();
        input->skipBytes(input->getRemaining());
        return nullptr;
    }
    AttributeInfo *a = nullptr;
    for (const TypedKind &k : typedKinds) {
        if (eq_nt_str(k.name, name->getString(), name->getStringLength())) {
            a = k.make();
            break;
        }
    }
    if (a == nullptr)
        a = getInstance(length);
    a->setClassFile(classFile);
    a->attributeNameIndex = nameIndex;
    int start = input->getBytesRead();
    a->read(input);
    int consumed = input->getBytesRead() - start;
    if (consumed != length || input->hasOverrun()) {
        // A body that disagrees with its declared length: resynchronise on the
        // declared end so the rest of the class is not misread, and refuse the class.
        Log::error("attribute %.*s declares %d bytes but holds %d", name->getStringLength(), name->getString(), length,
                   consumed);
        classFile->setError();
        input->seek(start + length);
    }
    return a;
}

void AttributeInfo::read(DataInput *input)
{
    body = attributeLength > 0 ? input->getCurrentPosition() : nullptr;
    input->skipBytes(attributeLength);
}

void AttributeInfo::writeHeader(DataOutput *output) const
{
    output->writeShort(attributeNameIndex);
    output->writeInt(getAttributeLength());
}

void AttributeInfo::write(DataOutput *output)
{
    writeHeader(output);
    output->write(getBody(), attributeLength);
}

const char *AttributeInfo::getName() const { return getUtf8Chars(attributeNameIndex); }

int AttributeInfo::getNameLength() const { return getUtf8Length(attributeNameIndex); }

void AttributeInfo::setReplacementBody(char *bytes, int length)
{
    delete[] replacement;
    replacement = bytes;
    attributeLength = length;
}

} // namespace Tessera
