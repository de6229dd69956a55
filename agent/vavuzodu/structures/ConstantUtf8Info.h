#ifndef TESSERA_CONSTANTUTF8INFO_H
#define TESSERA_CONSTANTUTF8INFO_H

#include "structures/CPInfo.h"
#include "structures/String.h"

namespace Tessera {

// Text: u2 length then bytes. Read text points into the class bytes; text set by
// setString is a private copy, freed with the entry.
class ConstantUtf8Info : public CPInfo {
    TESSERA_CLASS(ConstantUtf8Info, CPInfo)
    TESSERA_POOLED(ConstantUtf8Info)
public:
    void initInstance();
    void release();
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getTag() const override { return CONSTANT_Utf8; }
    const char *getTagVerbose() const override { return "CONSTANT_Utf8_info"; }
    const char *getVerbose() const override;
    void debug(const char *prefix) const override;
    int hashCode() const override { return text.hashCode(); }
    bool equals(const orvane::Object *other) const override;

    const char *getString() const { return text.getChars(); }
    int getStringLength() const { return text.getLength(); }
    // Takes a private copy of the NUL-terminated value.
    void setString(const char *value);
    const orvane::String &getOrvaneString() const { return text; }

private:
    orvane::String text;
    char *ownedCopy = nullptr;
};

} // namespace Tessera

#endif
