// The class and method registry: field totals, the description records on
// literal bytes, the differential transfer of command 60, the view filters
// of command 34 and the filter flags of methods.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ByteArrayDataReader.h"
#include "CharVectorDataWriter.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// Builds expected wire bytes.
struct Expect {
    Bytes b;
    Expect &byte(int v)
    {
        b.push_back(static_cast<unsigned char>(v));
        return *this;
    }
    Expect &u4(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8)
            b.push_back(static_cast<unsigned char>(v >> s));
        return *this;
    }
    Expect &str(const char *s)
    {
        size_t n = strlen(s);
        byte(static_cast<int>(n >> 8)).byte(static_cast<int>(n & 0xFF));
        b.insert(b.end(), s, s + n);
        return *this;
    }
    // An object ID: the pointer's bytes in host order.
    Expect &id(const void *p)
    {
        unsigned char raw[sizeof p];
        memcpy(raw, &p, sizeof p);
        b.insert(b.end(), raw, raw + sizeof p);
        return *this;
    }
};

Bytes bytesOf(CharVectorDataWriter &w)
{
    w.flush();
    return Bytes(w.getBytes().begin(), w.getBytes().end());
}

class ClassRegistryTest : public testing::Test {
protected:
    ProfilingSession profiling;
    ClassProfilingSession session{&profiling};

    ClassData *addClass(const char *name)
    {
        ClassData *c = new ClassData(name, &session);
        session.addClassData(c);
        return c;
    }
    MethodDesc *addMethod(ClassData *c, const char *name, const char *sig)
    {
        MethodDesc *m = new MethodDesc(c, name, -1, sig, -1, &session, c->getClassName());
        session.addMethodDesc(m);
        return m;
    }
    Bytes command60()
    {
        CharVectorDataWriter w;
        session.handleCmdGetClasses(&w);
        return bytesOf(w);
    }
};

TEST(ClassDataTest, TotalsListOwnReferencesThenTheSuperclassShifted)
{
    ClassData base("p.Base", static_cast<ClassProfilingSession *>(nullptr));
    base.addField(false, "r2", "Ljava/lang/Object;", 0, nullptr);
    base.addField(false, "x", "J", 1, nullptr);
    base.addField(false, "r3", "[I", 2, nullptr);
    base.addField(true, "s", "Ljava/lang/String;", 3, nullptr);
    base.addField(true, "count", "I", 4, nullptr);
    base.calculateReferenceMappings();
    ClassData derived("p.Derived", static_cast<ClassProfilingSession *>(nullptr));
    derived.setSuperClassClassData(&base);
    derived.addField(false, "a", "I", 5, nullptr);
    derived.addField(false, "r1", "Lp/Base;", 6, nullptr);
    derived.calculateReferenceMappings();

    EXPECT_EQ(base.getNumStaticFieldReferences(), 1);
    EXPECT_EQ(base.getStaticDataSize(), 4);
    EXPECT_EQ(base.getInstanceDataSize(), 8);
    EXPECT_EQ(derived.getNumTotalInstanceFieldReferences(), 3);
    EXPECT_EQ(derived.getTotalInstanceDataSize(), 12);
    const int fields[] = {1, 2, 4};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(derived.getIndexTotalInstanceReferenceToField(i), fields[i]);
    struct Case {
        int field;
        int position;
    } cases[] = {{1, 0}, {2, 1}, {4, 2}, {0, -1}, {3, -1}, {99, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_EQ(derived.getTotalInstanceReferenceIndex(c.field), c.position);
    }
}

TEST(ClassDataTest, ReferentIndexFollowsTheReferenceLineShiftedByOwnFields)
{
    ClassData object("java.lang.Object", static_cast<ClassProfilingSession *>(nullptr));
    ClassData reference("java.lang.ref.Reference", static_cast<ClassProfilingSession *>(nullptr));
    reference.setSuperClassClassData(&object);
    reference.addField(false, "queue", "Ljava/lang/ref/ReferenceQueue;", 0, nullptr);
    reference.addField(false, "referent", "Ljava/lang/Object;", 1, nullptr);
    reference.calculateReferenceMappings();
    ClassData weak("p.MyWeak", static_cast<ClassProfilingSession *>(nullptr));
    weak.setSuperClassClassData(&reference);
    weak.addField(false, "extra", "Ljava/lang/Object;", 2, nullptr);
    weak.calculateReferenceMappings();
    ClassData plain("p.Plain", static_cast<ClassProfilingSession *>(nullptr));
    plain.setSuperClassClassData(&object);

    EXPECT_EQ(object.getJavaLangRefReferenceReferentIndex(), ClassData::REFERENT_NONE);
    EXPECT_EQ(reference.getJavaLangRefReferenceReferentIndex(), 1);
    EXPECT_EQ(weak.getJavaLangRefReferenceReferentIndex(), 2);
    EXPECT_EQ(plain.getJavaLangRefReferenceReferentIndex(), ClassData::REFERENT_NONE);
    // weak's total references: extra (0), queue (1), referent (2).
    EXPECT_FALSE(weak.isFieldReferent(0));
    EXPECT_TRUE(weak.isFieldReferent(2));
}

TEST(ClassDataTest, SpecialClassesAndArrayTypesFromTheName)
{
    struct Case {
        const char *name;
        bool agent, callee, objectArray, primitiveArray;
        int arrayType;
    } cases[] = {
        {"com.orvane.agent.Agent", true, false, false, false, 2},
        {"com.orvane.agent.InstrumentationCallee", true, true, false, false, 2},
        {"com.orvane.api.agent.Controller", true, false, false, false, 2},
        {"com.orvaneX.Other", false, false, false, false, 2},
        {"[Ljava.lang.String;", false, false, true, false, 3},
        {"[[I", false, false, true, false, 3},
        {"[I", false, false, false, true, 8},
        {"[Z", false, false, false, true, 4},
        {"[", false, false, false, false, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClassData d(c.name, 0);
        EXPECT_EQ(d.getIsAgentClass(), c.agent);
        EXPECT_EQ(d.getIsInstrumentationCallee(), c.callee);
        EXPECT_EQ(d.getIsObjectArray(), c.objectArray);
        EXPECT_EQ(d.getIsPrimitiveArray(), c.primitiveArray);
        EXPECT_EQ(d.getArrayType(), c.arrayType);
    }
}

TEST(ClassDataTest, EverySessionNumbersTheNonInstanceRecords)
{
    // Spoil the numbering: a new session must restore it, whatever ran before.
    for (int i = 0; i < ClassData::NON_INSTANCE_CLASS_COUNT; i++)
        g_nonInstanceClassData[i].setArrayType(0);
    ProfilingSession profiling;
    ClassProfilingSession session(&profiling);
    for (int i = 0; i < ClassData::NON_INSTANCE_CLASS_COUNT; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g_nonInstanceClassData[i].getArrayType(), i);
        EXPECT_STREQ(g_nonInstanceClassData[i].getClassName(), "");
        EXPECT_FALSE(g_nonInstanceClassData[i].isPseudoClass());
    }
    // The numbered records stay out of the session's class list.
    EXPECT_TRUE(session.getClasses().empty());
}

TEST(ClassDataTest, ArrayTypeFromClassDataPrefersAStoredArrayType)
{
    ProfilingSession profiling;
    ClassProfilingSession session(&profiling);
    ClassData ints("[I", 0);
    ClassData objects("[Ljava.lang.Object;", 0);
    ClassData plain("p.Plain", 0);
    ClassData renumbered("[J", 0);
    renumbered.setArrayType(40); // not an array type: the name decides
    struct Case {
        const char *name;
        const ClassData *classData;
        int type;
    } cases[] = {
        {"null", nullptr, 2},
        {"int array by name", &ints, 8},
        {"object array by name", &objects, 3},
        {"plain class", &plain, 2},
        {"type outside 3..11 falls back to the name", &renumbered, 9},
        {"non-instance record 3", &g_nonInstanceClassData[3], 3},
        {"non-instance record 11", &g_nonInstanceClassData[11], 11},
        {"non-instance record 2", &g_nonInstanceClassData[2], 2},
        {"non-instance record 12 has no name", &g_nonInstanceClassData[12], 2},
        {"non-instance record 111 has no name", &g_nonInstanceClassData[111], 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ClassData::getArrayTypeFromClassData(c.classData), c.type);
    }
}

TEST(ClassDataTest, RecordWithoutAndWithFieldInformation)
{
    ClassData super("p.S", 0);
    ClassData c("p.C", 7);
    MethodDesc classMethod(&c, "p.C", -1, "()V", -1, nullptr, nullptr);
    c.classMethodDesc = &classMethod;
    c.setDisplayName("Shown");
    {
        CharVectorDataWriter w;
        c.write(&w);
        Expect e;
        e.byte(1).id(&c).str("p.C").byte(1).str("Shown").u4(7).id(&classMethod).id(nullptr).id(nullptr).byte(0);
        EXPECT_EQ(bytesOf(w), e.b);
    }
    c.addField(true, "S", "I", 3, nullptr);
    c.addField(false, "f", "Ljava/lang/Object;", 4, nullptr);
    c.setSuperClassClassData(&super);
    c.setIsUnloaded();
    c.calculateReferenceMappings();
    CharVectorDataWriter w;
    c.write(&w);
    Expect e;
    e.byte(1).id(&c).str("p.C").byte(1).str("Shown").u4(7).id(&classMethod).id(nullptr).id(nullptr).byte(1);
    e.u4(1).str("S").str("I").byte(10).u4(3);
    e.u4(1).str("f").str("Ljava/lang/Object;").byte(2).u4(4);
    e.id(&super).byte(1);
    EXPECT_EQ(bytesOf(w), e.b);
    EXPECT_TRUE(classMethod.getHasDisplayName());
}

TEST_F(ClassRegistryTest, CommandSixtySendsOnlyWhatTheFrontEndDoesNotHave)
{
    ClassData *c = addClass("p.A");
    MethodDesc *run = addMethod(c, "run", "()V");

    Expect first;
    first.byte(1).id(run).id(c).str("run").str("()V").byte(0);
    first.byte(1).id(c).str("p.A").byte(0).u4(0).id(nullptr).id(nullptr).id(nullptr).byte(0).byte(0);
    EXPECT_EQ(command60(), first.b);
    EXPECT_EQ(command60(), (Bytes{0, 0})) << "a second call sends nothing new";

    ClassData *b = addClass("p.B");
    c->setDisplayName("Alpha");
    Expect changed;
    changed.byte(0);
    changed.byte(1).id(c).str("p.A").byte(1).str("Alpha").u4(0).id(nullptr).id(nullptr).id(nullptr).byte(0);
    changed.byte(1).id(b).str("p.B").byte(0).u4(0).id(nullptr).id(nullptr).id(nullptr).byte(0).byte(0);
    EXPECT_EQ(command60(), changed.b);

    // A subclass copy makes the original and its copies go out again.
    MethodDesc *copy = run->getMethodDescForSpecificClassData(b, &profiling);
    EXPECT_EQ(run->getMethodDescForSpecificClassData(b, &profiling), copy);
    EXPECT_EQ(run->getMethodDescForSpecificClassData(c, &profiling), run);
    Expect withCopy;
    withCopy.byte(1).id(run).id(c).str("run").str("()V");
    withCopy.byte(1).id(copy).id(b).str("run").str("()V").byte(0).byte(0);
    EXPECT_EQ(command60(), withCopy.b);

    // A new front end gets everything again.
    session.resetDifferentialDataTransfer();
    Bytes all = command60();
    EXPECT_GT(all.size(), first.b.size());
    EXPECT_EQ(command60(), (Bytes{0, 0}));
}

TEST_F(ClassRegistryTest, ViewFiltersMarkClassesAndPseudoMethods)
{
    ClassData *shown = addClass("com.x.y.ImplA");
    ClassData *hidden = addClass("com.x.Impl");
    ClassData cumulation("_orvane_cumul_class", ClassData::COMPONENT_CUMULATION);
    MethodDesc *pkg = new MethodDesc(&cumulation, "com.x.y", -1, "()V", -1, &session, "com.x.y");
    MethodDesc *other = new MethodDesc(&cumulation, "org.z", -1, "()V", -1, &session, "org.z");
    session.addMethodDesc(pkg);
    session.addMethodDesc(other);
    MethodDesc *ordinary = addMethod(hidden, "m", "()V");

    Expect request;
    request.u4(2).str("com.*.Impl?").str("com.x.y");
    ByteArrayDataReader reader(request.b.data(), static_cast<int>(request.b.size()));
    session.handleCmdSetViewFilter(&reader);

    EXPECT_FALSE(shown->getIsViewFiltered(true));
    EXPECT_TRUE(hidden->getIsViewFiltered(true));
    EXPECT_FALSE(hidden->getIsViewFiltered(false));
    EXPECT_TRUE(ordinary->getIsViewFiltered(true)) << "a method follows its class";
    EXPECT_FALSE(pkg->getIsViewFiltered(true));
    EXPECT_TRUE(other->getIsViewFiltered(true));
    // New classes take the filters on creation.
    EXPECT_TRUE(addClass("org.Q")->getIsViewFiltered(true));

    Bytes none = Expect().u4(0).b;
    ByteArrayDataReader clear(none.data(), static_cast<int>(none.size()));
    session.handleCmdSetViewFilter(&clear);
    EXPECT_FALSE(hidden->getIsViewFiltered(true));
    EXPECT_FALSE(other->getIsViewFiltered(true));
}

TEST_F(ClassRegistryTest, MethodFilterFlagsFollowTheClassFilters)
{
    session.setFilters({"-com.a", "com.a.b"}, false);
    struct Case {
        const char *className;
        bool filtered;
        bool filteredLoose;
    } cases[] = {
        {"x.Y", true, true},
        {"com.a.Z", false, false},
        {"com.a.b.Z", true, true},
        {"Plain", false, true}, // the default package is filtered only without the package rule
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.className);
        ClassData *cls = addClass(c.className);
        MethodDesc *m = addMethod(cls, "m", "()V");
        EXPECT_EQ(m->getIsFiltered(true, false), c.filtered);
        EXPECT_EQ(m->getIsFiltered(false, false), c.filteredLoose);
        cls->setDisplayName("Named");
        EXPECT_EQ(m->getIsFiltered(false, false), c.filtered) << "a display name lifts the package-less rule";
    }

    ClassData *agent = addClass("com.orvane.agent.Helper");
    EXPECT_TRUE(addMethod(agent, "m", "()V")->getIsFiltered(true, false));
    ClassData *component = addClass("com.a.Bean");
    component->setComponentType(12);
    MethodDesc *bean = addMethod(component, "m", "()V");
    EXPECT_FALSE(bean->getIsFiltered(true, false));
    EXPECT_TRUE(bean->getIsFiltered(true, true));
    EXPECT_TRUE(addMethod(addClass("com.a.N"), "__orvane_nmp_read", "()I")->getIsFiltered(true, false));

    // Inverting the list re-flags every method already known.
    ClassData *z = addClass("com.a.b.K");
    MethodDesc *k = addMethod(z, "k", "()V");
    EXPECT_TRUE(k->getIsFiltered(true, false));
    session.setFilters({"-com.a", "com.a.b"}, true);
    EXPECT_FALSE(k->getIsFiltered(true, false));

    CharVectorDataWriter w;
    session.writeFilterParameters(&w);
    EXPECT_EQ(bytesOf(w), Expect().u4(2).str("-com.a").str("com.a.b").byte(1).b);
}

TEST_F(ClassRegistryTest, JspServiceIsNeverFiltered)
{
    session.setFilters({"org"}, false);
    ClassData *jsp = addClass("org.apache.jsp.index_jsp");
    MethodDesc classMethod(jsp, "org.apache.jsp.index_jsp", -1, "()V", -1, &session, "org.apache.jsp.index_jsp");
    jsp->classMethodDesc = &classMethod;
    EXPECT_TRUE(classMethod.getIsFiltered(true, false));
    MethodDesc *service = addMethod(jsp, "_jspService",
                                    "(Ljavax/servlet/http/HttpServletRequest;Ljavax/servlet/http/HttpServletResponse;)V");
    EXPECT_FALSE(service->getIsFiltered(true, false));
    EXPECT_FALSE(classMethod.getIsFiltered(true, false));
    jsp->classMethodDesc = nullptr;
}

} // namespace
