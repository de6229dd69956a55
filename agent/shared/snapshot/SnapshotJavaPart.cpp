#include "SnapshotJavaPart.h"

#include "DataWriter.h"

void SnapshotJavaPart::writeEmptyPart(DataWriter *writer)
{
    writer->writeByte(0);
    writer->writeU4(0);
    writer->writeByte(0);
    writer->writeByte(0);
    writer->writeByte(0);
}
