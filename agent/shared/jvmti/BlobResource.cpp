#include "BlobResource.h"

// The archive is assembled into the library as read-only data; the build
// passes its path in ORVANE_AGENT_JAR. The symbols stay hidden so that the
// shared library reaches them without relocations.
__asm__(".section .rodata\n"
        ".balign 16\n"
        ".hidden orvaneAgentJarStart\n"
        ".hidden orvaneAgentJarEnd\n"
        "orvaneAgentJarStart:\n"
        ".incbin \"" ORVANE_AGENT_JAR "\"\n"
        "orvaneAgentJarEnd:\n"
        ".previous\n");

extern "C" const unsigned char orvaneAgentJarStart[];
extern "C" const unsigned char orvaneAgentJarEnd[];

namespace {
const size_t CHUNK = 512;
}

const unsigned char *BlobResource::data()
{
    return orvaneAgentJarStart;
}

size_t BlobResource::size()
{
    return static_cast<size_t>(orvaneAgentJarEnd - orvaneAgentJarStart);
}

bool BlobResource::writeFile(FILE *file)
{
    unsigned char chunk[CHUNK];
    for (size_t done = 0; done < size(); done += CHUNK) {
        size_t n = size() - done < CHUNK ? size() - done : CHUNK;
        for (size_t i = 0; i < n; i++)
            chunk[i] = data()[done + i];
        if (fwrite(chunk, 1, n, file) != n)
            return false;
    }
    return fflush(file) == 0;
}
