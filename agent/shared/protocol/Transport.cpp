#include "Transport.h"

#include "DataWriter.h"

bool Transport::flush()
{
    DataWriter *out = writer();
    if (out == nullptr)
        return false;
    out->flush();
    return !out->getError();
}
