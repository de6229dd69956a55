#include "structures/ConstantUtf8Info.h"

#include <cstring>

#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "io/Log.h"

namespace Tessera {

const char *const ConstantUtf8Info::CLASS_NAME = "ConstantUtf8Info";

namespace {

// Diagnostic buffer: every getVerbose call overwrites it.
char verboseText[16384];

} // namespace

void ConstantUtf8Info::initInstance()
{
    classFile = nullptr;
    text.initInstance(nullptr, 0);
}

void ConstantUtf8Info::release()
{
    delete[] ownedCopy;
    ownedCopy = nullptr;
    text.initInstance(nullptr, 0);
}

void ConstantUtf8Info::read(DataInput *input)
{
    const char *chars;
    int length;
    input->readUTF(&chars, &length);
    text.initInstance(chars, length);
}

void ConstantUtf8Info::write(DataOutput *output)
{
    output->writeByte(CONSTANT_Utf8);
    output->writeUTF(text.getChars(), text.getLength());
}

void ConstantUtf8Info::setString(const char *value)
{
    size_t n = std::strlen(value);
    char *copy = new char[n + 1];
    std::memcpy(copy, value, n + 1);
    delete[] ownedCopy;
    ownedCopy = copy;
    text.initInstance(copy, static_cast<int>(n));
}

const char *ConstantUtf8Info::getVerbose() const
{
    int n = text.getLength() < 16383 ? text.getLength() : 16383;
    if (n > 0)
        std::memcpy(verboseText, text.getChars(), n);
    verboseText[n] = '\0';
    return verboseText;
}

void ConstantUtf8Info::debug(const char *prefix) const
{
    Log::debug("%s %s with length %d (%s)", prefix, getTagVerbose(), text.getLength(), getVerbose());
}

bool ConstantUtf8Info::equals(const orvane::Object *other) const
{
    if (!CPInfo::equals(other))
        return false;
    const ConstantUtf8Info *o = static_cast<const ConstantUtf8Info *>(other);
    return o->text.getLength() == text.getLength() &&
           (text.getLength() == 0 || std::memcmp(o->text.getChars(), text.getChars(), text.getLength()) == 0);
}

} // namespace Tessera
