#ifndef TESSERA_TESTS_CLASSBYTES_H
#define TESSERA_TESTS_CLASSBYTES_H

#include <vector>

namespace Tessera {
class ClassFile;
}

typedef std::vector<unsigned char> Bytes;

// A minimal class "A" extends "java/lang/Object" (version 52): pool 1 Utf8 "A",
// 2 Class #1, 3 Utf8 "java/lang/Object", 4 Class #3, then extraPool (extraCount
// slots); no fields, the given methods and class attributes, as raw bytes.
Bytes classBytes(const Bytes &extraPool, int extraCount, const Bytes &methods, int methodCount,
                 const Bytes &attributes = {}, int attributeCount = 0);
// The class written out.
Bytes writeOut(Tessera::ClassFile *cf);
// The class read whole from b, which must outlive it.
Tessera::ClassFile *readAll(const Bytes &b);

#endif
