#ifndef TESSERA_DESCRIPTORHELPER_H
#define TESSERA_DESCRIPTORHELPER_H

namespace Tessera {

class ClassFile;
class MethodInfo;

// Walks method descriptors.
class DescriptorHelper {
public:
    // Number of parameters of method (this never counted); with inSlots a long or
    // double counts 2.
    static int countParameters(ClassFile *classFile, MethodInfo *method, bool inSlots);
    // Advances *cursor over one type and returns its letter, 'L' for class and
    // array types, 0 at the end or on a malformed descriptor. A ')' before the type
    // is skipped, so the call after the last parameter yields the return type.
    // nameBuffer (when set, nameBufferSize bytes) receives the class name or the
    // whole array descriptor, NUL-terminated and cut to fit.
    static char getNextParameterType(const char **cursor, const char *end, char *nameBuffer,
                                     int nameBufferSize = 1024);
};

} // namespace Tessera

#endif
