#ifndef TESSERA_CONSTANTMETHODHANDLEINFO_H
#define TESSERA_CONSTANTMETHODHANDLEINFO_H

#include "structures/CPInfo.h"

namespace Tessera {

// Reference kind (u1), reference index (u2).
class ConstantMethodHandleInfo : public CPInfo {
    TESSERA_CLASS(ConstantMethodHandleInfo, CPInfo)
    TESSERA_POOLED(ConstantMethodHandleInfo)
public:
    void initInstance() { kind = index = 0; classFile = nullptr; }
    void release() {}
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    int getTag() const override { return CONSTANT_MethodHandle; }
    const char *getTagVerbose() const override { return "method handle"; }
    const char *getVerbose() const override { return "method handle"; }
    void debug(const char *prefix) const override;
    int hashCode() const override { return index; }
    bool equals(const orvane::Object *other) const override;
    int getIndex() const { return index; }
    void setIndex(int i) { index = i; }
    int getKind() const { return kind; }
    void setKind(int k) { kind = k; }

private:
    int kind = 0;
    int index = 0;
};

} // namespace Tessera

#endif
