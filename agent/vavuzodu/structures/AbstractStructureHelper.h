#ifndef TESSERA_ABSTRACTSTRUCTUREHELPER_H
#define TESSERA_ABSTRACTSTRUCTUREHELPER_H

namespace Tessera {

// Hexadecimal renderings into one shared 16-byte buffer that the next call overwrites.
class AbstractStructureHelper {
public:
    // "%0*x" with the given width.
    static const char *padHexString(int value, int width);
    static const char *printAccessFlags(int flags) { return padHexString(flags, 4); }
    static const char *printBytes(int bytes) { return padHexString(bytes, 8); }
};

} // namespace Tessera

#endif
