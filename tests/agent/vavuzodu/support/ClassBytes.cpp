#include "support/ClassBytes.h"

#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"

using namespace Tessera;

Bytes classBytes(const Bytes &extraPool, int extraCount, const Bytes &methods, int methodCount, const Bytes &attributes,
                 int attributeCount)
{
    Bytes b = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52};
    int count = 5 + extraCount;
    b.push_back(count >> 8);
    b.push_back(count & 0xFF);
    Bytes fixed = {1, 0, 1, 'A', 7, 0, 1, 1, 0, 16, 'j', 'a', 'v', 'a', '/', 'l', 'a', 'n', 'g', '/', 'O', 'b', 'j',
                   'e', 'c', 't', 7, 0, 3};
    b.insert(b.end(), fixed.begin(), fixed.end());
    b.insert(b.end(), extraPool.begin(), extraPool.end());
    Bytes rest = {0, 0x21, 0, 2, 0, 4, 0, 0, 0, 0, 0, static_cast<unsigned char>(methodCount)};
    b.insert(b.end(), rest.begin(), rest.end());
    b.insert(b.end(), methods.begin(), methods.end());
    b.push_back(attributeCount >> 8);
    b.push_back(attributeCount & 0xFF);
    b.insert(b.end(), attributes.begin(), attributes.end());
    return b;
}

Bytes writeOut(ClassFile *cf)
{
    char *out = nullptr;
    int n = ClassFileWriter::writeToByteArray(&out, cf);
    Bytes b(out, out + n);
    delete[] out;
    return b;
}

ClassFile *readAll(const Bytes &b)
{
    return ClassFileReader::readFromByteArray(b.data(), static_cast<int>(b.size()), nullptr, true, true, nullptr);
}
