// The front end's reading of class and method descriptions (command 60).
#include <gtest/gtest.h>

#include "Registry.h"

namespace {

TEST(RegistryTest, ReadsMethodsThenClassesOfCommandSixty)
{
    // 4-byte IDs, little-endian as the agent's host writes them.
    const std::vector<uint8_t> body = {
        1, 0x10, 0, 0, 0, 0x20, 0, 0, 0, 0, 3, 'r', 'u', 'n', 0, 3, '(', ')', 'V', // method 0x10 of class 0x20
        0,                                                                      // end of methods
        1, 0x20, 0, 0, 0, 0, 3, 'p', '.', 'A',                                  // class 0x20 "p.A"
        1, 0, 5, 'A', 'l', 'p', 'h', 'a',                                       // display name
        0, 0, 0, 7,                                                             // component type
        0x30, 0, 0, 0, 0x31, 0, 0, 0, 0, 0, 0, 0,                               // class, package, display method
        1,                                                                      // field information
        0, 0, 0, 1, 0, 1, 'S', 0, 1, 'I', 10, 0, 0, 0, 3,                       // one static field
        0, 0, 0, 0,                                                             // no instance fields
        0x40, 0, 0, 0, 1,                                                       // superclass, unloaded
        0,                                                                      // end of classes
    };
    Registry registry;
    std::vector<MethodInfo> methods;
    std::vector<ClassInfo> classes;
    ASSERT_TRUE(registry.readGetClassesReply(body, 4, &methods, &classes));
    ASSERT_EQ(methods.size(), 1u);
    EXPECT_EQ(methods[0].id, 0x10u);
    EXPECT_EQ(methods[0].signature, "()V");
    ASSERT_EQ(classes.size(), 1u);
    const ClassInfo &c = classes[0];
    EXPECT_EQ(c.name, "p.A");
    EXPECT_EQ(c.displayName, "Alpha");
    EXPECT_EQ(c.componentType, 7u);
    EXPECT_EQ(c.classMethod, 0x30u);
    EXPECT_EQ(c.packageMethod, 0x31u);
    EXPECT_TRUE(c.hasFieldInfo);
    EXPECT_EQ(c.staticFields, 1u);
    EXPECT_EQ(c.superClass, 0x40u);
    EXPECT_TRUE(c.unloaded);
    EXPECT_EQ(registry.describe(0x10), "p.A.run");
    EXPECT_EQ(registry.describe(0x99), "#99");

    // Truncated anywhere: refused.
    for (size_t cut = 0; cut < body.size(); cut++) {
        SCOPED_TRACE(cut);
        Registry partial;
        std::vector<uint8_t> shorter(body.begin(), body.begin() + static_cast<long>(cut));
        EXPECT_FALSE(partial.readGetClassesReply(shorter, 4, nullptr, nullptr));
    }
}

} // namespace
