#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "io/ClassFileReader.h"
#include "io/DataInput.h"
#include "io/DataOutput.h"
#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/ConstantPoolUtil.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"
#include "support/ClassBytes.h"

using namespace Tessera;

TEST(DataStreamTest, BigEndianLiteralBytes)
{
    DataOutput out;
    out.writeShort(0x1234);
    out.writeInt(-2);
    out.writeLong(0x0102030405060708LL);
    out.writeByte(0x1FF);
    EXPECT_TRUE(out.writeUTF("ab", 2));
    Bytes expected = {0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0, 2, 'a', 'b'};
    ASSERT_EQ(static_cast<int>(expected.size()), out.getSize());
    EXPECT_EQ(expected, Bytes(out.getBuffer(), out.getBuffer() + out.getSize()));

    DataInput in(out.getBuffer(), out.getSize());
    EXPECT_EQ(0x1234, in.readUnsignedShort());
    EXPECT_EQ(-2, in.readInt());
    EXPECT_EQ(0x0102030405060708LL, in.readLong());
    EXPECT_EQ(0xFF, in.readUnsignedByte());
    const char *chars;
    int length;
    EXPECT_TRUE(in.readUTF(&chars, &length));
    EXPECT_EQ(2, length);
    EXPECT_EQ(0, in.getRemaining());
    EXPECT_FALSE(in.hasOverrun());
    EXPECT_EQ(0xFF, in.read()); // past the end: 0xFF, no advance, flagged
    EXPECT_EQ(out.getSize(), in.getBytesRead());
    EXPECT_TRUE(in.hasOverrun());
}

TEST(DataStreamTest, GrowsByDoublingAndRefusesOverlongText)
{
    DataOutput out;
    for (int i = 0; i < 512; i++)
        out.write('x');
    EXPECT_EQ(512, out.getCapacity());
    out.write('y');
    EXPECT_EQ(1024, out.getCapacity());

    // 70,000 bytes cannot carry a u2 length: refused, nothing written, flagged.
    std::string text(70000, 'z');
    DataOutput utf;
    EXPECT_FALSE(utf.writeUTF(text.data(), static_cast<int>(text.size())));
    EXPECT_EQ(0, utf.getSize());
    EXPECT_TRUE(utf.hasError());
}

TEST(DataStreamTest, LyingLengthsStayInBounds)
{
    const char bytes[] = {0x00, 0x10, 'a', 'b'}; // claims 16 bytes, has 2
    DataInput in(bytes, 4);
    const char *chars = bytes;
    int length = -1;
    EXPECT_FALSE(in.readUTF(&chars, &length));
    EXPECT_EQ(nullptr, chars);
    EXPECT_EQ(0, length);
    EXPECT_TRUE(in.hasOverrun());

    DataInput skip(bytes, 4);
    EXPECT_FALSE(skip.skipBytes(5));
    EXPECT_EQ(4, skip.getBytesRead());
    EXPECT_TRUE(skip.hasOverrun());
    DataInput negative(bytes, 4);
    EXPECT_FALSE(negative.skipBytes(-1));
}

TEST(ClassFileReadTest, BadInputSetsTheErrorFlagWithTheLoggedText)
{
    struct Case {
        const char *name;
        Bytes bytes;
        const char *message; // expected on stderr
    } cases[] = {
        {"zero magic", {0, 0, 0, 0, 0, 0, 0, 52}, "[error]Invalid magic number 0 instead of cafebabe\n"},
        {"truncated head", {0xCA, 0xFE, 0xBA, 0xBE, 0, 0}, "[error]"},
        {"unknown tag 2", {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52, 0, 2, 2, 0}, "[error]invalid constant pool entry with unknown tag 2\n"},
        {"utf8 longer than the class", {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52, 0, 2, 1, 0xFF, 0xFF, 'a'}, "[error]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        ClassFile *cf = readAll(c.bytes);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(cf->hasError());
        EXPECT_EQ(0u, err.find(c.message)) << err;
        cf->freeInstance();
    }
}

TEST(ClassFileReadTest, ModernTagsAndUnknownAttributesPassThrough)
{
    // Module (19), Package (20), Dynamic (17) entries; a method with an unknown
    // attribute of length 0 and a class attribute kept raw.
    Bytes pool = {19, 0, 1, 20, 0, 1, 1, 0, 2, 'm', 'x', 17, 0, 0, 0, 9, 12, 0, 1, 0, 3, 1, 0, 1, 'Q'};
    Bytes methods = {0, 1, 0, 7, 0, 7, 0, 1, 0, 10, 0, 0, 0, 0};
    Bytes attributes = {0, 10, 0, 0, 0, 3, 1, 2, 3};
    Bytes b = classBytes(pool, 6, methods, 1, attributes, 1);
    ClassFile *cf = readAll(b);
    ASSERT_FALSE(cf->hasError());
    EXPECT_TRUE(cf->getConstantPool()[5]->instanceOf("ConstantModuleInfo"));
    EXPECT_EQ(b, writeOut(cf));
    cf->freeInstance();
}

TEST(ClassFileReadTest, TypedAttributeThatLiesAboutItsLengthIsRefused)
{
    // Pool: 5 "SourceFile", 6 "S". SourceFile declares 4 bytes but holds 2.
    Bytes pool = {1, 0, 10, 'S', 'o', 'u', 'r', 'c', 'e', 'F', 'i', 'l', 'e', 1, 0, 1, 'S'};
    Bytes attributes = {0, 5, 0, 0, 0, 4, 0, 6, 0, 0};
    Bytes b = classBytes(pool, 2, {}, 0, attributes, 1);
    testing::internal::CaptureStderr();
    ClassFile *cf = readAll(b);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(cf->hasError());
    EXPECT_NE(std::string::npos, err.find("[error]attribute SourceFile declares 4 bytes but holds 2"));
    cf->freeInstance();

    // With the right length the attribute is typed and written back unchanged.
    Bytes good = classBytes(pool, 2, {}, 0, {0, 5, 0, 0, 0, 2, 0, 6}, 1);
    cf = readAll(good);
    ASSERT_FALSE(cf->hasError());
    EXPECT_NE(nullptr, cf->findAttribute("SourceFileAttribute"));
    EXPECT_EQ(good, writeOut(cf));
    cf->freeInstance();
}

TEST(ClassFileReadTest, UnknownAnnotationElementTagEndsTheNamesPass)
{
    // 5 "RuntimeVisibleAnnotations", 6 "LX;". One annotation of type 6 with one pair
    // whose value has tag 'q'.
    Bytes pool = {1, 0, 25};
    std::string n = "RuntimeVisibleAnnotations";
    pool.insert(pool.end(), n.begin(), n.end());
    Bytes tail = {1, 0, 3, 'L', 'X', ';'};
    pool.insert(pool.end(), tail.begin(), tail.end());
    Bytes good = {0, 5, 0, 0, 0, 11, 0, 1, 0, 6, 0, 1, 0, 6, 'I', 0, 1};
    Bytes bad = good;
    bad[14] = 'q';
    for (int k = 0; k < 2; k++) {
        Bytes attributes(k == 0 ? good : bad);
        attributes.erase(attributes.begin() + 0, attributes.begin() + 0);
        Bytes b = classBytes(pool, 2, {}, 0, attributes, 1);
        testing::internal::CaptureStderr();
        int headLength = 0;
        ClassFile *cf = ClassFileReader::readFromByteArray(b.data(), static_cast<int>(b.size()), &headLength, true,
                                                           false, nullptr);
        std::string err = testing::internal::GetCapturedStderr();
        if (k == 0) {
            EXPECT_FALSE(cf->hasError()) << err;
            ASSERT_EQ(1u, cf->getAnnotationTypes().size());
            EXPECT_EQ(std::string("LX;"), std::string(cf->getAnnotationTypes()[0]->getString(), 3));
        } else {
            EXPECT_TRUE(cf->hasError());
            EXPECT_EQ("[error]unknown annotation element value tag 113\n", err);
        }
        cf->freeInstance();
    }
}

TEST(ConstantPoolTest, FindOrAddAppendsInOrderAndComparesTags)
{
    Bytes bytes = classBytes({}, 0, {}, 0); // the class borrows from its bytes
    ClassFile *cf = readAll(bytes);
    ASSERT_FALSE(cf->hasError());
    int before = static_cast<int>(cf->getConstantPool().size());
    int ref = ConstantPoolUtil::addConstantMethodrefInfo(cf, "p/Hook", "enter", "(SS)V");
    // class-name Utf8, Class, name Utf8, descriptor Utf8, NameAndType, Methodref
    EXPECT_EQ(before + 5, ref);
    const char *kinds[] = {"ConstantUtf8Info", "ConstantClassInfo", "ConstantUtf8Info", "ConstantUtf8Info",
                           "ConstantNameAndTypeInfo", "ConstantMethodrefInfo"};
    for (int k = 0; k < 6; k++)
        EXPECT_TRUE(cf->getConstantPool()[before + k]->instanceOf(kinds[k])) << k;
    EXPECT_EQ(ref, ConstantPoolUtil::addConstantMethodrefInfo(cf, "p/Hook", "enter", "(SS)V"));
    EXPECT_EQ(before + 6, static_cast<int>(cf->getConstantPool().size()));
    EXPECT_EQ(1, ConstantPoolUtil::addConstantUTF8Info(cf, "A")); // the class's own entry

    // An Integer and a Float with the same bits are different constants, and so are
    // a Methodref and an InterfaceMethodref with the same indices.
    int i = ConstantPoolUtil::addConstantIntegerInfo(cf, 0x3F800000);
    ConstantFloatInfo *f = ConstantFloatInfo::getInstance();
    f->setBytes(0x3F800000);
    int fi = ConstantPoolUtil::addConstantPoolEntry(cf, f);
    EXPECT_NE(i, fi);
    ConstantMethodrefInfo *m = static_cast<ConstantMethodrefInfo *>(cf->getConstantPool()[ref]);
    ConstantInterfaceMethodrefInfo *im = ConstantInterfaceMethodrefInfo::getInstance();
    im->setClassIndex(m->getClassIndex());
    im->setNameAndTypeIndex(m->getNameAndTypeIndex());
    EXPECT_NE(ref, ConstantPoolUtil::addConstantPoolEntry(cf, im));

    // Written entries: literal bytes of the Methodref and the Float.
    Bytes out = writeOut(cf);
    Bytes methodref = {10, static_cast<unsigned char>(m->getClassIndex() >> 8),
                       static_cast<unsigned char>(m->getClassIndex()), 0,
                       static_cast<unsigned char>(m->getNameAndTypeIndex())};
    EXPECT_NE(out.end(), std::search(out.begin(), out.end(), methodref.begin(), methodref.end()));
    Bytes floatEntry = {4, 0x3F, 0x80, 0, 0};
    EXPECT_NE(out.end(), std::search(out.begin(), out.end(), floatEntry.begin(), floatEntry.end()));
    ClassFile *again = readAll(out);
    EXPECT_FALSE(again->hasError());
    EXPECT_EQ(out, writeOut(again));
    again->freeInstance();
    cf->freeInstance();
}

TEST(ConstantPoolTest, LongAtTheEndTakesTwoSlots)
{
    Bytes pool = {5, 0, 0, 0, 1, 0, 0, 0, 2};
    Bytes b = classBytes(pool, 2, {}, 0);
    ClassFile *cf = readAll(b);
    ASSERT_FALSE(cf->hasError());
    EXPECT_EQ(b, writeOut(cf)); // the count written equals the count read
    EXPECT_EQ(7, ConstantPoolUtil::addConstantUTF8Info(cf, "next")); // two past the Long at 5
    int smt = cf->getStackMapTableNameIndex();
    EXPECT_EQ(8, smt);
    EXPECT_EQ(smt, cf->getStackMapTableNameIndex());
    EXPECT_EQ(9, static_cast<int>(cf->getConstantPool().size()));
    cf->freeInstance();
    ClassFile *reused = ClassFile::getInstance();
    EXPECT_TRUE(reused->getConstantPool().empty());
    EXPECT_TRUE(reused->getMethods().empty());
    EXPECT_FALSE(reused->hasError());
    reused->freeInstance();
}
