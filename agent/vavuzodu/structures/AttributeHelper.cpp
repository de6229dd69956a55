#include "structures/AttributeHelper.h"

#include "io/DataInput.h"

namespace Tessera {

bool AttributeHelper::skipAttributes(DataInput *input)
{
    int count = input->readUnsignedShort();
    for (int i = 0; i < count && !input->hasOverrun(); i++) {
        input->skipBytes(2);
        int length = input->readInt();
        input->skipBytes(length);
    }
    return !input->hasOverrun();
}

} // namespace Tessera
