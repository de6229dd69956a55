#ifndef AGENT_GZFILEDATAWRITER_H
#define AGENT_GZFILEDATAWRITER_H

#include <zlib.h>

#include "DataWriter.h"

// Writes a gzip file. A file that cannot be opened logs "error" and sets the
// error flag; so does a failed gzwrite.
class GzFileDataWriter : public DataWriter {
public:
    explicit GzFileDataWriter(const char *path);
    // Flushes and closes the file.
    ~GzFileDataWriter() override;
    // Flushes and closes the file; false when the gzip stream could not be
    // completed. Later writes only set the error flag.
    bool close();

protected:
    int mdSend(const void *data, int length) override;

private:
    gzFile file;
};

#endif
