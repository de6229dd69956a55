#ifndef KVR_AGENT_SHARED_CONFIG_CONFIGFILESTATE_H
#define KVR_AGENT_SHARED_CONFIG_CONFIGFILESTATE_H

#include <string>

// Where a session configuration came from, kept so that it can be sent back and stored in
// snapshots, and where the parser is inside the document while it reads it.
class ConfigFileState {
public:
    explicit ConfigFileState(int id) : id(id) {}

    int id;
    // The kept document: a private temporary copy (to delete) or the path that was given.
    std::string path;
    bool pathIsTemporary = false;
    // The document received from the front end; empty for a file.
    std::string xmlText;
    bool hasXmlText = false;

    // Parser position.
    bool inMatchingSession = false;
    bool inMethodInvocation = false;
    bool inCustomProbe = false;
    bool inExceptionalMethods = false;
    bool inIgnoredMethods = false;
    bool sessionFound = false;
    bool filtersSuppressed = false;
};

#endif
