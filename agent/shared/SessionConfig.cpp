#include "SessionConfig.h"

#include <cstdio>

bool SessionConfig::readFromFile(const std::string &file, int sessionId)
{
    FILE *f = fopen(file.c_str(), "r");
    if (f == nullptr)
        return false;
    fclose(f);
    path = file;
    id = sessionId;
    // The session element's attributes are not read yet, so no session
    // counts as read and start-up goes on without initial configuration.
    return true;
}
