#ifndef TESSERA_ATTRIBUTEHELPER_H
#define TESSERA_ATTRIBUTEHELPER_H

namespace Tessera {

class DataInput;

// Skips attributes without building them.
class AttributeHelper {
public:
    // Reads a u2 count and skips that many attributes (u2 name, u4 length, body).
    // False when they run past the input's end.
    static bool skipAttributes(DataInput *input);
};

} // namespace Tessera

#endif
