#ifndef AGENT_BLOBRESOURCE_H
#define AGENT_BLOBRESOURCE_H

#include <cstddef>
#include <cstdio>

// The agent's Java archive carried inside the library as data.
class BlobResource {
public:
    // Writes the whole archive to an open file in chunks of 512 bytes; false
    // at the first short write.
    static bool writeFile(FILE *file);
    // The archive bytes and their count.
    static const unsigned char *data();
    static size_t size();
};

#endif
