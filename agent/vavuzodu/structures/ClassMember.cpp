#include "structures/ClassMember.h"

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "structures/AbstractStructureHelper.h"
#include "structures/ClassFile.h"
#include "structures/ConstantPoolUtil.h"

namespace Tessera {

const char *const ClassMember::CLASS_NAME = "ClassMember";

void ClassMember::resetMember()
{
    deleteAttributes();
    accessFlags = nameIndex = descriptorIndex = 0;
}

void ClassMember::read(DataInput *input, bool namesOnly)
{
    accessFlags = input->readUnsignedShort();
    nameIndex = input->readUnsignedShort();
    descriptorIndex = input->readUnsignedShort();
    if (input->hasOverrun() || classFile->getConstantPoolUtf8Entry(nameIndex) == nullptr ||
        classFile->getConstantPoolUtf8Entry(descriptorIndex) == nullptr) {
        classFile->setError();
        return;
    }
    if (!namesOnly)
        readAttributes(input);
}

void ClassMember::write(DataOutput *output)
{
    output->writeShort(accessFlags);
    output->writeShort(nameIndex);
    output->writeShort(descriptorIndex);
    writeAttributes(output);
}

const char *ClassMember::getName() const { return getUtf8Chars(nameIndex); }

int ClassMember::getNameLength() const { return getUtf8Length(nameIndex); }

const char *ClassMember::getSignature() const { return getUtf8Chars(descriptorIndex); }

int ClassMember::getSignatureLength() const { return getUtf8Length(descriptorIndex); }

const char *ClassMember::getFormattedAccessFlags() const
{
    return AbstractStructureHelper::printAccessFlags(accessFlags);
}

void ClassMember::initNamed(ClassFile *cf, const char *name, const char *descriptor, int flags)
{
    setClassFile(cf);
    nameIndex = ConstantPoolUtil::addConstantUTF8Info(cf, name);
    descriptorIndex = ConstantPoolUtil::addConstantUTF8Info(cf, descriptor);
    accessFlags = flags;
}

} // namespace Tessera
