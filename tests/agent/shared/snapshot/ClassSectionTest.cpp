// The class section of snapshots: the records of classes and methods with
// their statistics and the filters, byte for byte; read back with IDs of 8
// and of 4 bytes, the references between the records resolved.

#include <gtest/gtest.h>

#include "ByteArrayDataReader.h"
#include "ProfilingTestSupport.h"
#include "SnapshotSections.h"

namespace {

class ClassSectionTest : public CpuSessionTest {
protected:
    ClassSectionTest() : CpuSessionTest("app.Unused")
    {
        sources.session = &profiling;
        sources.classes = &classes;
        sources.cpu = &cpu;
    }

    // Reads `bytes` as a class section of `version` with IDs of `width` bytes into `loaded`.
    bool readInto(ClassProfilingSession &loaded, const std::vector<unsigned char> &bytes, int version, int width)
    {
        ByteArrayDataReader reader(bytes.data(), static_cast<int>(bytes.size()));
        reader.enableIDUpdate(true, width);
        SnapshotSources into;
        into.session = loaded.getProfilingSession();
        into.classes = &loaded;
        bool ok = readClassSection(&reader, version, bytes.size(), into);
        reader.updateIDs();
        return ok;
    }

    static ClassData *named(ClassProfilingSession &s, const std::string &name)
    {
        for (ClassData *c : s.getClasses()) {
            if (name == c->getClassName())
                return c;
        }
        return nullptr;
    }
    static MethodDesc *methodNamed(ClassProfilingSession &s, const std::string &name)
    {
        for (MethodDesc *m : s.getMethods()) {
            if (name == m->getMethodName())
                return m;
        }
        return nullptr;
    }

    SnapshotSources sources;
};

TEST_F(ClassSectionTest, ClassesMethodsStatisticsAndFiltersByteForByte)
{
    ClassData *object = new ClassData("java.lang.Object", &classes);
    ClassData *main = new ClassData("app.Main", &classes);
    main->addField(true, "count", "I", 1, nullptr);
    main->addField(false, "next", "Lapp/Main;", 3, nullptr);
    main->calculateReferenceMappings();
    main->setSuperClassClassData(object);
    classes.addClassData(object);
    classes.addClassData(main);
    MethodDesc *run = new MethodDesc(main, "run", -1, "()V", -1, &classes, "app.Main");
    classes.addMethodDesc(run);
    classes.setFilters({"app.skip."}, false);

    CharVectorDataWriter w;
    writeClassSection(&w, sources);
    Wire expected;
    expected.byte(1).id(object).str("java.lang.Object").byte(0).u4(0).id(nullptr).id(nullptr).id(nullptr).byte(0);
    expected.byte(1).id(main).str("app.Main").byte(0).u4(0).id(nullptr).id(nullptr).id(nullptr).byte(1);
    expected.u4(1).str("count").str("I").byte(10).u4(1);
    expected.u4(1).str("next").str("Lapp/Main;").byte(2).u4(3);
    expected.id(object).byte(0);
    expected.byte(0);
    // The method and U4 0: no statistics.
    expected.byte(1).id(run).id(main).str("run").str("()V").u4(0);
    expected.byte(0);
    // One filter, exclusive.
    expected.u4(1).str("app.skip.").byte(0);
    EXPECT_EQ(bytesOf(w), expected.b);
}

TEST_F(ClassSectionTest, WrittenSectionReadsBackWithItsReferencesResolved)
{
    ClassData *object = new ClassData("java.lang.Object", &classes);
    ClassData *main = new ClassData("app.Main", &classes);
    ClassData *hidden = new ClassData("app.skip.Hidden", &classes);
    main->addField(false, "next", "Lapp/Main;", 3, nullptr);
    main->calculateReferenceMappings();
    main->setSuperClassClassData(object);
    main->setDisplayName("Main program");
    ClassData *pseudo = new ClassData("app.Main", ClassData::COMPONENT_CUMULATION);
    MethodDesc *classNode = new MethodDesc(pseudo, "app.Main", -1, "", -1, &classes, nullptr);
    main->classMethodDesc = classNode;
    for (ClassData *c : {object, main, hidden, pseudo})
        classes.addClassData(c);
    classes.addMethodDesc(classNode);
    classes.addMethodDesc(new MethodDesc(main, "run", -1, "()V", -1, &classes, "app.Main"));
    classes.addMethodDesc(new MethodDesc(hidden, "h", -1, "(I)J", -1, &classes, "app.skip.Hidden"));
    // A method recorded with statistics: they are read past.
    cpu.recordMethodStatistics(classes.getMethods()[1], MethodStats::StackEntry{{120, 0, 0, 0}});
    classes.setFilters({"-app.skip."}, true);
    CharVectorDataWriter w;
    writeClassSection(&w, sources);

    ProfilingSession other;
    ClassProfilingSession loaded(&other);
    ASSERT_TRUE(readInto(loaded, bytesOf(w), 36, static_cast<int>(sizeof(void *))));
    ASSERT_EQ(loaded.getClasses().size(), 4u);
    ASSERT_EQ(loaded.getMethods().size(), 3u);
    ClassData *loadedMain = named(loaded, "app.Main");
    ClassData *loadedObject = named(loaded, "java.lang.Object");
    ASSERT_NE(loadedMain, nullptr);
    EXPECT_NE(loadedMain, main);
    EXPECT_EQ(loadedMain->getSuperClassClassData(), loadedObject);
    EXPECT_STREQ(loadedMain->getDisplayName(), "Main program");
    ASSERT_EQ(loadedMain->getInstanceFields().size(), 1u);
    EXPECT_EQ(loadedMain->getInstanceFields()[0].name, "next");
    EXPECT_EQ(loadedMain->getNumInstanceFieldReferences(), 1);
    MethodDesc *loadedRun = methodNamed(loaded, "run");
    ASSERT_NE(loadedRun, nullptr);
    EXPECT_EQ(loadedRun->getClassData(), loadedMain);
    EXPECT_STREQ(loadedRun->getMethodSignature(), "()V");
    // The class node's method is read after the class that names it.
    ASSERT_NE(loadedMain->classMethodDesc, nullptr);
    EXPECT_STREQ(loadedMain->classMethodDesc->getMethodName(), "app.Main");
    EXPECT_EQ(loadedMain->classMethodDesc->getClassData()->getComponentType(), ClassData::COMPONENT_CUMULATION);
    EXPECT_TRUE(loadedMain->classMethodDesc->getHasDisplayName());
    // The filters came along and decide for the loaded methods.
    EXPECT_TRUE(loaded.areFiltersSet());
    EXPECT_TRUE(methodNamed(loaded, "h")->getIsFiltered(true, false));
    EXPECT_FALSE(loadedRun->getIsFiltered(true, false));
}

TEST_F(ClassSectionTest, FourByteIdsAndOlderVersionsRead)
{
    // IDs of 4 bytes in host order, as a 32-bit agent writes them.
    auto id4 = [](Wire &w, uint32_t v) -> Wire & {
        unsigned char raw[4];
        memcpy(raw, &v, 4);
        for (unsigned char c : raw)
            w.byte(c);
        return w;
    };
    Wire v36;
    v36.byte(1);
    id4(v36, 0x11).str("app.Main").byte(1).str("Main").u4(0);
    id4(id4(id4(v36, 0x21), 0), 0).byte(0);
    v36.byte(0);
    v36.byte(1);
    id4(id4(v36, 0x21), 0x31).str("app.Main").str("").u4(0);
    v36.byte(1);
    id4(id4(v36, 0x22), 0x11).str("run").str("()V").u4(0);
    v36.byte(0);
    v36.byte(1);
    id4(v36, 0x31).str("app.Main").byte(0).u4(ClassData::COMPONENT_CUMULATION);
    ProfilingSession other;
    ClassProfilingSession loaded(&other);
    // A class record where the filters stand reads as a filter count of
    // millions: the stream ends first and the section is refused.
    EXPECT_FALSE(readInto(loaded, v36.b, 36, 4));

    Wire good;
    good.byte(1);
    id4(good, 0x11).str("app.Main").byte(1).str("Main").u4(0);
    id4(id4(id4(good, 0x21), 0), 0).byte(0);
    good.byte(0);
    good.byte(1);
    id4(id4(good, 0x21), 0x11).str("app.Main").str("").u4(0);
    good.byte(1);
    id4(id4(good, 0x22), 0x11).str("run").str("()V").u4(0);
    good.byte(0);
    good.u4(0).byte(1);
    ClassProfilingSession four(&other);
    ASSERT_TRUE(readInto(four, good.b, 36, 4));
    ClassData *main = named(four, "app.Main");
    ASSERT_NE(main, nullptr);
    MethodDesc *run = methodNamed(four, "run");
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->getClassData(), main);
    ASSERT_NE(main->classMethodDesc, nullptr);
    EXPECT_EQ(main->classMethodDesc->getClassData(), main);
    EXPECT_TRUE(main->classMethodDesc->getHasDisplayName());

    // Version 8: no display name, component type or descriptors, no field indices.
    Wire v8;
    v8.byte(1);
    id4(v8, 0x41).str("old.Y").byte(1).u4(1).str("s").str("I").byte(10).u4(0);
    id4(v8, 0).byte(0);
    v8.byte(0).byte(0).u4(0).byte(0);
    ClassProfilingSession old(&other);
    ASSERT_TRUE(readInto(old, v8.b, 8, 4));
    ClassData *y = named(old, "old.Y");
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->getDisplayName(), nullptr);
    EXPECT_EQ(y->getComponentType(), 0);
    ASSERT_EQ(y->getStaticFields().size(), 1u);
    EXPECT_EQ(y->getStaticFields()[0].index, 0);
    EXPECT_EQ(y->getStaticFields()[0].type, 10);

    // Cut anywhere, the section is refused and nothing crashes.
    for (size_t cut = 1; cut < good.b.size(); cut++) {
        ClassProfilingSession partial(&other);
        EXPECT_FALSE(readInto(partial, std::vector<unsigned char>(good.b.begin(), good.b.begin() + static_cast<long>(cut)), 36, 4))
            << cut;
    }
}

} // namespace
