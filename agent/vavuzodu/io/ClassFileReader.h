#ifndef TESSERA_CLASSFILEREADER_H
#define TESSERA_CLASSFILEREADER_H

namespace Tessera {

class ClassFile;

// Turns class bytes into a ClassFile, in stages.
class ClassFileReader {
public:
    // Reads bytes into classFile (or a new pooled one when null) and returns it.
    // readHead only: head and the names pass, *headLength (when set) receives the
    // bytes the head used. Both: the whole class. readTail only: the tail into a
    // class whose head was read before, from bytes that start where the head
    // ended. The class file's error flag tells whether reading failed; the bytes
    // must outlive the class file.
    static ClassFile *readFromByteArray(const unsigned char *bytes, int length, int *headLength, bool readHead,
                                        bool readTail, ClassFile *classFile);
    // Reads a whole file into *out (new[], owned by the caller); the byte count, or
    // 0 on failure (logged).
    static int readByteArrayFromFile(char **out, const char *path);
    // A fully read class, or null when the file could not be read. *bytes receives
    // the buffer the class borrows from (the caller frees it after the class).
    static ClassFile *readFromFile(const char *path, char **bytes);
};

} // namespace Tessera

#endif
