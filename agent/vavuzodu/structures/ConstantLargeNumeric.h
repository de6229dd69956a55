#ifndef TESSERA_CONSTANTLARGENUMERIC_H
#define TESSERA_CONSTANTLARGENUMERIC_H

#include "structures/CPInfo.h"

namespace Tessera {

// Long and Double: two u4 halves, high first; two pool slots.
class ConstantLargeNumeric : public CPInfo {
    TESSERA_CLASS(ConstantLargeNumeric, CPInfo)
public:
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    const char *getVerbose() const override;
    void debug(const char *prefix) const override;
    int getSlots() const override { return 2; }
    int hashCode() const override { return highBytes ^ lowBytes; }
    bool equals(const orvane::Object *other) const override;
    int getHighBytes() const { return highBytes; }
    void setHighBytes(int v) { highBytes = v; }
    int getLowBytes() const { return lowBytes; }
    void setLowBytes(int v) { lowBytes = v; }
    const char *getFormattedHighBytes() const;
    const char *getFormattedLowBytes() const;

protected:
    int highBytes = 0;
    int lowBytes = 0;
};

} // namespace Tessera

#endif
