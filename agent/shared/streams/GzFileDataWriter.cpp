#include "GzFileDataWriter.h"

#include "MessageUtil.h"

GzFileDataWriter::GzFileDataWriter(const char *path) : file(gzopen(path, "wb"))
{
    if (file == nullptr) {
        MessageUtil::message("error");
        setError();
    }
}

GzFileDataWriter::~GzFileDataWriter()
{
    close();
}

bool GzFileDataWriter::close()
{
    if (file == nullptr)
        return false;
    flush();
    bool ok = gzclose(file) == Z_OK;
    file = nullptr;
    if (!ok)
        setError();
    return ok && !getError();
}

int GzFileDataWriter::mdSend(const void *data, int length)
{
    if (file == nullptr) {
        setError();
        return -1;
    }
    int n = gzwrite(file, data, static_cast<unsigned>(length));
    if (n <= 0)
        setError();
    return n;
}
