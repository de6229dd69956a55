#include "io/ClassFileWriter.h"

#include <cstdio>
#include <cstring>

#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"

namespace Tessera {

int ClassFileWriter::writeToByteArray(char **out, ClassFile *classFile)
{
    DataOutput output;
    classFile->write(&output);
    *out = nullptr;
    if (output.hasError()) {
        Log::error("class can not be written: a text is longer than 65535 bytes");
        return 0;
    }
    char *bytes = new char[output.getSize()];
    std::memcpy(bytes, output.getBuffer(), output.getSize());
    *out = bytes;
    return output.getSize();
}

int ClassFileWriter::writeByteArrayToFile(const char *bytes, int length, const char *path)
{
    FILE *f = fopen(path, "wb");
    if (f == nullptr) {
        Log::error("%s can not be written", path);
        return 0;
    }
    if (fwrite(bytes, 1, length, f) != static_cast<size_t>(length)) {
        Log::error("write error");
        fclose(f);
        return 0;
    }
    fflush(f);
    if (fclose(f) != 0) {
        Log::error("close error");
        return 0;
    }
    return 1;
}

int ClassFileWriter::writeToFile(const char *path, ClassFile *classFile)
{
    char *bytes = nullptr;
    int length = writeToByteArray(&bytes, classFile);
    if (length == 0)
        return 0;
    int result = writeByteArrayToFile(bytes, length, path);
    delete[] bytes;
    return result;
}

} // namespace Tessera
