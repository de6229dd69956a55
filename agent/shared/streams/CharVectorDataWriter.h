#ifndef AGENT_CHARVECTORDATAWRITER_H
#define AGENT_CHARVECTORDATAWRITER_H

#include <vector>

#include "DataWriter.h"

// Collects everything delivered in a growable byte vector.
class CharVectorDataWriter : public DataWriter {
public:
    CharVectorDataWriter() = default;
    ~CharVectorDataWriter() override;

    std::vector<char> &getBytes() { return bytes; }

protected:
    int mdSend(const void *data, int length) override;

private:
    std::vector<char> bytes;
};

#endif
