#ifndef AGENT_GZFILEDATAREADER_H
#define AGENT_GZFILEDATAREADER_H

#include <zlib.h>

#include "DataReader.h"

// Reads a gzip file (or a plain one, which zlib passes through). A file that
// cannot be opened starts at the end of the stream.
class GzFileDataReader : public DataReader {
public:
    explicit GzFileDataReader(const char *path);
    ~GzFileDataReader() override;

    // The file could be opened.
    bool isOpen() const { return file != nullptr; }
    // Position in the uncompressed data.
    long getPos();
    // Moves to an offset of the uncompressed data; 0 on success. Clears the
    // end-of-stream flag when it succeeds.
    int seek(long offset);

protected:
    int mdRead(void *buffer, int length) override;

private:
    gzFile file;
};

#endif
