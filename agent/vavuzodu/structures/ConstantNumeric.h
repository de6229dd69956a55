#ifndef TESSERA_CONSTANTNUMERIC_H
#define TESSERA_CONSTANTNUMERIC_H

#include "structures/CPInfo.h"

namespace Tessera {

// Integer and Float: one u4.
class ConstantNumeric : public CPInfo {
    TESSERA_CLASS(ConstantNumeric, CPInfo)
public:
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    const char *getVerbose() const override;
    void debug(const char *prefix) const override;
    int hashCode() const override { return bytes; }
    bool equals(const orvane::Object *other) const override;
    int getBytes() const { return bytes; }
    void setBytes(int b) { bytes = b; }
    const char *getFormattedBytes() const;

protected:
    int bytes = 0;
};

} // namespace Tessera

#endif
