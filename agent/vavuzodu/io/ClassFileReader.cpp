#include "io/ClassFileReader.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "io/DataInput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"

namespace Tessera {

ClassFile *ClassFileReader::readFromByteArray(const unsigned char *bytes, int length, int *headLength, bool readHead,
                                              bool readTail, ClassFile *classFile)
{
    DataInput input(reinterpret_cast<const char *>(bytes), length);
    if (classFile == nullptr)
        classFile = ClassFile::getInstance();
    if (readHead) {
        classFile->readHead(&input);
        if (classFile->hasError())
            return classFile;
        if (headLength != nullptr)
            *headLength = input.getBytesRead();
        if (!readTail) {
            classFile->readMethodNamesAndAnnotations(&input);
            return classFile;
        }
    }
    if (readTail)
        classFile->readTail(&input);
    return classFile;
}

int ClassFileReader::readByteArrayFromFile(char **out, const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        Log::error("%s does not exist", path);
        return 0;
    }
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        Log::error("%s does not exist", path);
        return 0;
    }
    int size = static_cast<int>(st.st_size);
    char *buffer = new char[size > 0 ? size : 1]();
    size_t got = fread(buffer, 1, size, f);
    if (got != static_cast<size_t>(size)) {
        Log::error("read error");
        fclose(f);
        delete[] buffer;
        return 0;
    }
    if (fclose(f) != 0) {
        Log::error("close error");
        delete[] buffer;
        return 0;
    }
    *out = buffer;
    return size;
}

ClassFile *ClassFileReader::readFromFile(const char *path, char **bytes)
{
    *bytes = nullptr;
    int size = readByteArrayFromFile(bytes, path);
    if (size == 0)
        return nullptr;
    return readFromByteArray(reinterpret_cast<unsigned char *>(*bytes), size, nullptr, true, true, nullptr);
}

} // namespace Tessera
