#ifndef TESSERA_OPCODESUTIL_H
#define TESSERA_OPCODESUTIL_H

namespace Tessera {

// Opcode mnemonics.
class OpcodesUtil {
public:
    // The mnemonic of opcode, or null when it has none (203-253, above 255).
    static const char *getVerbose(int opcode);
    static const char *getArrayTypeVerbose(int type);
};

} // namespace Tessera

#endif
