// The class-name and method tests that decide how a loading class is treated,
// and the walk over a raw constant pool as the VM hands it out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "ClassProfilingHelper.h"

namespace {

struct EqualNameCase {
    const char *name;
    const char *prefix;
    int len;
    bool equal;
};

TEST(ClassDecisionsNamesTest, EqualClassNameTreatsDotsAndSlashesAlike)
{
    const EqualNameCase cases[] = {
        {"java/lang/String", "java.lang.String", 16, true},
        {"java.lang.String", "java/lang/String", 16, true},
        {"java/lang/String", "java/lang/Strinx", 16, false},
        {"java/lang/String", "java/lang/Strinx", 15, true}, // only the first 15 count
        {"java/lang", "java/lang", 100, true},              // both end together before len
        {"java/lang", "java/lang/String", 100, false},      // one ends early
        {"java/lang/String", "java/lang", 100, false},
        {"java/lang/String", "java/lang", 9, true},
        {"a.b", "a-b", 3, false}, // only '.' and '/' are interchangeable
        {"", "", 5, true},
        {"x", "y", 0, true},
    };
    for (const EqualNameCase &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.prefix + " / " + std::to_string(c.len));
        EXPECT_EQ(c.equal, ClassProfilingHelper::isEqualClassName(c.name, c.prefix, c.len));
    }
}

struct HardFilterCase {
    const char *name;
    bool attached;
    bool sharing;
    bool instrumentJre;
    bool filtered;
};

TEST(ClassDecisionsNamesTest, HardFilteredClasses)
{
    const HardFilterCase cases[] = {
        {"java/lang/String", false, false, false, true},
        {"java/lang/String", false, false, true, false}, // instrument-jre
        {"java/awt/event/InvocationEvent", false, false, false, false},
        {"java/awt/event/InvocationEvent$1", false, false, false, false},
        {"java/awt/event/InvocationEvent", true, false, false, false}, // attached without sharing
        {"java/awt/event/InvocationEvent", true, true, false, true},   // attached with sharing: a java/ class
        {"java.awt.event.InvocationEvent", false, false, false, false},
        {"java.awt.event.InvocationEvent", true, true, false, false},
        {"com/orvane/agent/Agent", false, false, true, true},
        {"com/orvane/api/agent/Controller", false, false, false, true},
        {"com/orvane/core/X", false, false, false, true},
        {"com/orvane/other/X", false, false, false, false},
        {"apple/laf/X", false, false, false, true},
        {"sun/reflect/X", false, false, false, true},
        {"sun/misc/Unsafe", false, false, false, true},
        {"sun/nio/ch/SocketChannelImpl", false, false, false, false},
        {"sun/nio/ch/SocketChannelImpl", true, true, false, true},
        {"javax/swing/JFrame", false, false, false, false},
        {"javax/swing/JFrame", true, true, false, true},
        {"com/sun/tools/X", true, true, false, true},
        {"org/w3c/dom/Node", true, true, false, true},
        {"org/xml/sax/Parser", true, true, false, true},
        {"org/xml/saxon/Parser", true, true, false, false},
        {"org/example/App", true, true, false, false},
        {"javafx/App", false, false, false, false},
    };
    for (const HardFilterCase &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " attached " + std::to_string(c.attached) + " sharing " +
                     std::to_string(c.sharing) + " jre " + std::to_string(c.instrumentJre));
        EXPECT_EQ(c.filtered, ClassProfilingHelper::isHardFilteredClass(c.name, c.attached, c.sharing, c.instrumentJre));
    }
}

struct MainCase {
    const char *name;
    bool special;
    bool exception;
};

TEST(ClassDecisionsNamesTest, MainClassExceptions)
{
    const MainCase cases[] = {
        {"sun/plugin/JavaRunTime", true, false},
        {"sun.plugin.JavaRunTime", true, false},
        {"sun/plugin/JavaRunTimeX", false, true},
        {"com/tc/net/NIOWorkarounds", false, true},
        {"com.tc.net.NIOWorkarounds", false, true},
        {"com.sun.corba.se.impl.util.JDKBridge", false, true},
        {"com/sun/corba/se/impl/util/JDKBridge", false, true},
        {"org.apache.xerces.impl.Constants", false, true},
        {"org/apache/xerces/impl/Constants", false, true},
        {"org/apache/xerces/impl/ConstantsX", false, false},
        {"sun/tools/jar/Main", false, true},
        {"sun.tools.jar.Main", false, true},
        {"sun/applet/AppletViewer", false, false},
        {"sun.applet.AppletViewer", false, false},
        {"sun/rmi/server/ActivationGroupInit", false, false},
        {"sun.rmi.server.ActivationGroupInit", false, false},
        {"sunny/App", false, false},
        {"org/example/Main", false, false},
    };
    for (const MainCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.special, ClassProfilingHelper::isSpecialMainClass(c.name));
        EXPECT_EQ(c.exception, ClassProfilingHelper::isMainClassException(c.name));
        EXPECT_FALSE(ClassProfilingHelper::isMacFilteredClass(c.name));
    }
}

struct MethodCase {
    const char *what;
    const char *candidateName;
    const char *candidateSignature;
    int candidateAccess;
    bool equal;
};

TEST(ClassDecisionsNamesTest, MethodEqualIgnoresFlags10_20_80)
{
    const char *main = "main";
    const char *sig = "([Ljava/lang/String;)V";
    const MethodCase cases[] = {
        {"public static", "main", sig, 0x9, true},
        {"also final and synchronized", "main", sig, 0x9 | 0x10 | 0x20, true},
        {"also 0x40, which is not ignored", "main", sig, 0x9 | 0x40 | 0x80, false},
        {"also 0x80", "main", sig, 0x9 | 0x80, true},
        {"not static", "main", sig, 0x1, false},
        {"also native", "main", sig, 0x9 | 0x100, false},
        {"private static", "main", sig, 0xA, false},
        {"longer name", "mainX", sig, 0x9, false},
        {"shorter signature", "main", "([Ljava/lang/String;)", 0x9, false},
        {"other signature", "main", "([Ljava/lang/Object;)V", 0x9, false},
    };
    for (const MethodCase &c : cases) {
        SCOPED_TRACE(c.what);
        int nameLength = static_cast<int>(strlen(c.candidateName));
        int sigLength = static_cast<int>(strlen(c.candidateSignature));
        EXPECT_EQ(c.equal, ClassProfilingHelper::isMethodEqual(main, sig, 9, c.candidateName, nameLength,
                                                               c.candidateSignature, sigLength, c.candidateAccess));
    }
    // Lengths decide, not terminators: a name that is a prefix of the buffer.
    EXPECT_TRUE(ClassProfilingHelper::isMethodEqual(main, sig, 9, "mainly", 4, "([Ljava/lang/String;)VX", 22, 9));
}

TEST(ClassDecisionsNamesTest, ComponentClassesAndMarkerMethods)
{
    EXPECT_TRUE(ClassProfilingHelper::isComponentClass("javax/servlet/http/HttpServlet"));
    EXPECT_TRUE(ClassProfilingHelper::isComponentClass("javax/servlet/jsp/HttpJspPage"));
    EXPECT_FALSE(ClassProfilingHelper::isComponentClass("javax.servlet.http.HttpServlet"));
    EXPECT_FALSE(ClassProfilingHelper::isComponentClass("javax/servlet/http/HttpServletX"));

    struct Marker {
        const char *name;
        const char *signature;
        int access;
        bool marker;
    };
    const Marker cases[] = {
        {"getEJBHome", "()Ljavax/ejb/EJBHome;", 1, true},
        {"getEJBLocalHome", "()Ljavax/ejb/EJBLocalHome;", 1, true},
        {"remove", "(Ljava/lang/Object;)V", 1, true},
        {"remove", "(Ljava/lang/Object;)V", 1 | 0x10 | 0x20, true},
        {"remove", "(Ljava/lang/Object;)Z", 1, false},
        {"remove", "(Ljava/lang/Object;)V", 9, false}, // static
        {"remove", "(Ljava/lang/Object;)V", 0, false}, // package access
        {"remove", "(Ljava/lang/Object;)V", 0x401, false}, // abstract
        {"getEJBHome", "()Ljavax/ejb/EJBLocalHome;", 1, false},
    };
    for (const Marker &c : cases) {
        SCOPED_TRACE(std::string(c.name) + c.signature + " " + std::to_string(c.access));
        EXPECT_EQ(c.marker, ClassProfilingHelper::isComponentMarkerMethod(c.name, static_cast<int>(strlen(c.name)),
                                                                          c.signature,
                                                                          static_cast<int>(strlen(c.signature)),
                                                                          c.access));
    }
}

TEST(ClassDecisionsNamesTest, ComponentTypesOfAnnotations)
{
    struct Case {
        const char *descriptor;
        int type;
    };
    const Case cases[] = {
        {"Ljavax/ejb/Stateful;", 6},         {"Ljavax/ejb/Stateless;", 7},  {"Ljavax/ejb/MessageDriven;", 8},
        {"Ljavax/persistence/Entity;", 9},   {"Ljavax/ejb/Stateful", 0},    {"javax/ejb/Stateful;", 0},
        {"Ljavax/ejb/StatefulX;", 0},        {"", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.descriptor);
        EXPECT_EQ(c.type, ClassProfilingHelper::getAnnotationComponentType(c.descriptor, -1));
    }
    // A length shorter than the text: only that many bytes count.
    EXPECT_EQ(0, ClassProfilingHelper::getAnnotationComponentType("Ljavax/ejb/Stateful;X", 21));
    EXPECT_EQ(6, ClassProfilingHelper::getAnnotationComponentType("Ljavax/ejb/Stateful;X", 20));
}

// A raw constant pool holding every kind of entry. Index: entry.
//   1 Utf8 "m"  2 Utf8 "()V"  3 NameAndType 1 2  4 Long (4 and 5)  6 Methodref 8 3
//   7 Double (7 and 8 -- the second slot of 7 is 8)  9 Class 1  10 Methodref 9 12
//   11 Integer  12 NameAndType 1 2  13 Float  14 String 1  15 Fieldref 9 3
//   16 InterfaceMethodref 9 17  17 NameAndType 2 1  18 MethodHandle 6 10
//   19 MethodType 2  20 Dynamic 0 3  21 InvokeDynamic 0 12  22 Module 1  23 Package 1
//   24 Methodref 9 17
const std::vector<unsigned char> ALL_TAGS_POOL = {
    1, 0, 1, 'm',                // 1
    1, 0, 3, '(', ')', 'V',      // 2
    12, 0, 1, 0, 2,              // 3
    5, 0, 0, 0, 0, 0, 0, 0, 42,  // 4, 5
    10, 0, 9, 0, 3,              // 6
    6, 0x40, 0, 0, 0, 0, 0, 0, 0, // 7, 8
    7, 0, 1,                     // 9
    10, 0, 9, 0, 12,             // 10
    3, 0, 0, 0, 7,               // 11
    12, 0, 1, 0, 2,              // 12
    4, 0x3F, 0x80, 0, 0,         // 13
    8, 0, 1,                     // 14
    9, 0, 9, 0, 3,               // 15
    11, 0, 9, 0, 17,             // 16
    12, 0, 2, 0, 1,              // 17
    15, 6, 0, 10,                // 18
    16, 0, 2,                    // 19
    17, 0, 0, 0, 3,              // 20
    18, 0, 0, 0, 12,             // 21
    19, 0, 1,                    // 22
    20, 0, 1,                    // 23
    10, 0, 9, 0, 17,             // 24
};
const int ALL_TAGS_COUNT = 25;

TEST(ClassDecisionsNamesTest, MethodRefsOfEveryKindOfPool)
{
    std::vector<int> offsets;
    ASSERT_TRUE(ClassProfilingHelper::indexRawConstantPool(ALL_TAGS_COUNT, static_cast<int>(ALL_TAGS_POOL.size()),
                                                           ALL_TAGS_POOL.data(), offsets));
    // Long and Double take two slots each; everything after them keeps its index.
    ASSERT_EQ(25u, offsets.size());
    EXPECT_EQ(-1, offsets[0]);
    EXPECT_EQ(-1, offsets[5]);
    EXPECT_EQ(-1, offsets[8]);
    EXPECT_EQ(10, ALL_TAGS_POOL[static_cast<size_t>(offsets[6])]);
    EXPECT_EQ(7, ALL_TAGS_POOL[static_cast<size_t>(offsets[9])]);
    EXPECT_EQ(20, ALL_TAGS_POOL[static_cast<size_t>(offsets[23])]);
    EXPECT_EQ(10, ALL_TAGS_POOL[static_cast<size_t>(offsets[24])]);

    std::unordered_set<int> refs;
    ASSERT_TRUE(ClassProfilingHelper::addMethodRefs(ALL_TAGS_COUNT, static_cast<int>(ALL_TAGS_POOL.size()),
                                                    ALL_TAGS_POOL.data(), refs));
    // The NameAndType indices of the three Methodrefs (6, 10, 24); the
    // InterfaceMethodref and Fieldref do not count.
    EXPECT_EQ((std::unordered_set<int>{3, 12, 17}), refs);
}

TEST(ClassDecisionsNamesTest, UnknownTagFailsTheWalk)
{
    struct Case {
        const char *what;
        std::vector<unsigned char> pool;
        int count;
        const char *message;
    };
    const Case cases[] = {
        {"tag 2", {1, 0, 1, 'm', 2, 0, 1}, 3, "invalid constant pool entry with unknown tag 2\n"},
        {"tag 0", {0}, 2, "invalid constant pool entry with unknown tag 0\n"},
        {"tag 14", {10, 0, 1, 0, 2, 14, 0, 0}, 3, "invalid constant pool entry with unknown tag 14\n"},
        {"tag 21", {21, 0, 0}, 2, "invalid constant pool entry with unknown tag 21\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unordered_set<int> refs;
        testing::internal::CaptureStderr();
        bool ok = ClassProfilingHelper::addMethodRefs(c.count, static_cast<int>(c.pool.size()), c.pool.data(), refs);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ok);
        EXPECT_NE(std::string::npos, err.find(c.message)) << err;
    }
}

TEST(ClassDecisionsNamesTest, PoolRunningPastItsBytesFails)
{
    struct Case {
        const char *what;
        std::vector<unsigned char> pool;
        int count;
    };
    const Case cases[] = {
        {"Utf8 longer than the bytes", {1, 0, 9, 'a', 'b'}, 2},
        {"Utf8 length cut", {1, 0}, 2},
        {"Methodref cut", {10, 0, 1, 0}, 2},
        {"Long cut", {5, 0, 0, 0, 0, 0, 0, 0}, 3},
        {"count beyond the entries", {7, 0, 1}, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unordered_set<int> refs;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(ClassProfilingHelper::addMethodRefs(c.count, static_cast<int>(c.pool.size()), c.pool.data(), refs));
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(refs.empty());
    }
    // An empty pool (count 1) has nothing to walk.
    std::unordered_set<int> refs;
    EXPECT_TRUE(ClassProfilingHelper::addMethodRefs(1, 0, nullptr, refs));
    EXPECT_TRUE(refs.empty());
}

} // namespace
