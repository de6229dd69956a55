#ifndef TESSERA_CLASSFILEWRITER_H
#define TESSERA_CLASSFILEWRITER_H

namespace Tessera {

class ClassFile;

// Turns a ClassFile back into bytes.
class ClassFileWriter {
public:
    // Writes the class into *out (new[], exactly the written size, owned by the
    // caller) and returns the size; 0 and *out null when the class cannot be
    // written (a text too long for the format).
    static int writeToByteArray(char **out, ClassFile *classFile);
    // 1 on success, 0 on failure (logged).
    static int writeByteArrayToFile(const char *bytes, int length, const char *path);
    static int writeToFile(const char *path, ClassFile *classFile);
};

} // namespace Tessera

#endif
