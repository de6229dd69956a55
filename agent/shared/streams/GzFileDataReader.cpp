#include "GzFileDataReader.h"

GzFileDataReader::GzFileDataReader(const char *path) : file(gzopen(path, "rb"))
{
    if (file == nullptr)
        setEof();
}

GzFileDataReader::~GzFileDataReader()
{
    if (file != nullptr)
        gzclose(file);
}

long GzFileDataReader::getPos()
{
    return file != nullptr ? static_cast<long>(gztell(file)) : -1;
}

int GzFileDataReader::seek(long offset)
{
    if (file == nullptr || gzseek(file, offset, SEEK_SET) < 0)
        return -1;
    clearEof();
    return 0;
}

int GzFileDataReader::mdRead(void *buffer, int length)
{
    if (file == nullptr)
        return -1;
    return gzread(file, buffer, static_cast<unsigned>(length));
}
