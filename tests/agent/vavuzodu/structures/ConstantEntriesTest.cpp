#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "structures/ClassFile.h"
#include "structures/ConstantEntries.h"
#include "structures/FieldInfo.h"
#include "structures/MethodInfo.h"
#include "support/ClassBytes.h"

using namespace Tessera;

namespace {

// One entry of every layout after the fixed four (Long takes slots 6 and 7).
const Bytes entryPool = {
    3, 0, 0, 0x12, 0xAB,                 // 5 Integer 0x12ab
    5, 0, 0, 0, 1, 0, 0, 0, 0xFF,        // 6 Long high 1, low 0xff
    4, 0x3F, 0x80, 0, 0,                 // 8 Float 1.0f
    8, 0, 1,                             // 9 String #1
    12, 0, 1, 0, 3,                      // 10 NameAndType #1 #3
    10, 0, 2, 0, 10,                     // 11 Methodref #2 #10
    18, 0, 0, 0, 10,                     // 12 InvokeDynamic bootstrap 0, #10
    17, 0, 1, 0, 10,                     // 13 Dynamic bootstrap 1, #10
    15, 6, 0, 11,                        // 14 MethodHandle invokestatic #11
};
const int entrySlots = 10;

} // namespace

TEST(ConstantEntriesTest, EveryLayoutReadsAsItsClassWithItsDiagnosticText)
{
    Bytes bytes = classBytes(entryPool, entrySlots, {}, 0);
    ClassFile *cf = readAll(bytes);
    ASSERT_FALSE(cf->hasError());
    struct Case {
        int index;
        const char *className;
        const char *kind; // an intermediate class the entry belongs to
        const char *verbose;
    };
    const Case cases[] = {
        {1, "ConstantUtf8Info", "CPInfo", "A"},
        {2, "ConstantClassInfo", "ConstantSingleIndex", "A"},
        {3, "ConstantUtf8Info", "CPInfo", "java/lang/Object"},
        {5, "ConstantIntegerInfo", "ConstantNumeric", "bytes 12ab"},
        {6, "ConstantLongInfo", "ConstantLargeNumeric", "high 1 low ff"},
        {8, "ConstantFloatInfo", "ConstantNumeric", "bytes 3f800000"},
        {9, "ConstantStringInfo", "ConstantSingleIndex", "A"},
        {10, "ConstantNameAndTypeInfo", "ConstantIndexPair", "A"},
        {11, "ConstantMethodrefInfo", "ConstantReference", "A"},
        {12, "ConstantInvokeDynamicInfo", "ConstantBootstrapReference", "invoke dynamic"},
        {13, "ConstantDynamicInfo", "ConstantBootstrapReference", "dynamic"},
        {14, "ConstantMethodHandleInfo", "CPInfo", "method handle"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        CPInfo *e = cf->getConstantPool()[c.index];
        ASSERT_NE(nullptr, e);
        EXPECT_STREQ(c.className, e->tiClassName());
        EXPECT_TRUE(e->instanceOf(c.kind));
        EXPECT_STREQ(c.verbose, e->getVerbose());
    }

    ConstantIntegerInfo *i = static_cast<ConstantIntegerInfo *>(cf->getConstantPool()[5]);
    EXPECT_STREQ("000012ab", i->getFormattedBytes());
    ConstantLongInfo *l = static_cast<ConstantLongInfo *>(cf->getConstantPool()[6]);
    EXPECT_STREQ("00000001", l->getFormattedHighBytes());
    EXPECT_STREQ("000000ff", l->getFormattedLowBytes());
    ConstantClassInfo *a = static_cast<ConstantClassInfo *>(cf->getConstantPool()[2]);
    EXPECT_EQ("A", std::string(a->getName(), a->getNameLength()));

    // The two bootstrap kinds share their layout but stay different constants.
    ConstantInvokeDynamicInfo *indy = static_cast<ConstantInvokeDynamicInfo *>(cf->getConstantPool()[12]);
    ConstantDynamicInfo *condy = static_cast<ConstantDynamicInfo *>(cf->getConstantPool()[13]);
    EXPECT_EQ(0, indy->getBootstrapIndex());
    EXPECT_EQ(10, indy->getNameAndTypeIndex());
    EXPECT_EQ(1, condy->getBootstrapIndex());
    EXPECT_EQ(10, condy->getNameAndTypeIndex());
    EXPECT_FALSE(condy->instanceOf("ConstantInvokeDynamicInfo"));
    condy->setBootstrapIndex(0);
    EXPECT_FALSE(condy->equals(indy));
    EXPECT_EQ(indy->hashCode(), condy->hashCode());
    condy->setBootstrapIndex(1);

    EXPECT_EQ(bytes, writeOut(cf));
    cf->freeInstance();
}

TEST(ConstantEntriesTest, ClassBoundNamesAreEmptyWithoutAClassFile)
{
    ConstantClassInfo *c = ConstantClassInfo::getInstance();
    c->setNameIndex(1);
    EXPECT_EQ(nullptr, c->getName());
    EXPECT_EQ(0, c->getNameLength());
    EXPECT_STREQ("", c->getVerbose());
    c->freeInstance();
}

TEST(ClassMemberTest, NewMembersAreWrittenAsCountedListsWithTheirPoolNames)
{
    Bytes bytes = classBytes({}, 0, {}, 0); // the class borrows from its bytes
    ClassFile *cf = readAll(bytes);
    ASSERT_FALSE(cf->hasError());
    FieldInfo *f = FieldInfo::createField(cf, "f", "I", 0x0002);
    MethodInfo *m = MethodInfo::createMethod(cf, "m", "()V", 0x0009);
    cf->getFields().push_back(f);
    cf->getMethods().push_back(m);
    EXPECT_EQ("f", std::string(f->getName(), f->getNameLength()));
    EXPECT_EQ("()V", std::string(m->getSignature(), m->getSignatureLength()));

    // Pool 5 "f", 6 "I", 7 "m", 8 "()V"; then after this/super/interfaces: one
    // field, one method, no attributes anywhere.
    Bytes out = writeOut(cf);
    const Bytes tail = {0, 1, 0, 2, 0, 5, 0, 6, 0, 0, 0, 1, 0, 9, 0, 7, 0, 8, 0, 0, 0, 0};
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(tail, Bytes(out.end() - tail.size(), out.end()));
    EXPECT_EQ(9, out[9]); // pool count
    cf->freeInstance();
}

TEST(ClassMemberTest, ANullMemberIsLeftOutOfTheCountAndTheBody)
{
    Bytes bytes = classBytes({}, 0, {}, 0);
    ClassFile *cf = readAll(bytes);
    ASSERT_FALSE(cf->hasError());
    MethodInfo *m = MethodInfo::createMethod(cf, "m", "()V", 0x0009);
    cf->getMethods().push_back(nullptr);
    cf->getMethods().push_back(m);

    // No fields; one method counted, not two; no attributes.
    Bytes out = writeOut(cf);
    const Bytes tail = {0, 0, 0, 1, 0, 9, 0, 5, 0, 6, 0, 0, 0, 0};
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(tail, Bytes(out.end() - tail.size(), out.end()));
    cf->getMethods().erase(cf->getMethods().begin());
    cf->freeInstance();
}
