// The views as text for a person: Java method names, milliseconds, thousands
// separators, the hot spots and the top of a call tree.
#include <gtest/gtest.h>

#include "Registry.h"
#include "TextReport.h"

#include <memory>

namespace {

// A registry with class 0x20 "Demo" and its methods: 0x10 fib(I)I,
// 0x11 main([Ljava/lang/String;)V, 0x12 isPrime(I)Z, 0x13 with a broken signature.
Registry demoRegistry()
{
    auto string = [](std::vector<uint8_t> *b, const std::string &s) {
        b->push_back(0);
        b->push_back(static_cast<uint8_t>(s.size()));
        b->insert(b->end(), s.begin(), s.end());
    };
    std::vector<uint8_t> body;
    const struct {
        uint8_t id;
        const char *name;
        const char *signature;
    } methods[] = {{0x10, "fib", "(I)I"}, {0x11, "main", "([Ljava/lang/String;)V"}, {0x12, "isPrime", "(I)Z"}, {0x13, "odd", "(Q)V"}};
    for (const auto &m : methods) {
        body.insert(body.end(), {1, m.id, 0, 0, 0, 0x20, 0, 0, 0});
        string(&body, m.name);
        string(&body, m.signature);
    }
    body.push_back(0);
    body.insert(body.end(), {1, 0x20, 0, 0, 0});
    string(&body, "Demo");
    body.insert(body.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    body.push_back(0);
    Registry registry;
    EXPECT_TRUE(registry.readGetClassesReply(body, 4, nullptr, nullptr));
    return registry;
}

std::unique_ptr<ViewNode> node(uint64_t method, int64_t micros, uint32_t count)
{
    std::unique_ptr<ViewNode> n(new ViewNode);
    n->method = method;
    n->value = micros;
    n->count = count;
    return n;
}

TEST(TextReportTest, NumbersAsPeopleReadThem)
{
    const struct {
        uint64_t value;
        const char *text;
    } counts[] = {{0, "0"}, {999, "999"}, {1000, "1,000"}, {242785, "242,785"}, {1234567, "1,234,567"}, {18446744073709551615u, "18,446,744,073,709,551,615"}};
    for (const auto &c : counts)
        EXPECT_EQ(TextReport::thousands(c.value), c.text) << c.value;
    const struct {
        int64_t micros;
        const char *text;
    } times[] = {{0, "0.0 ms"}, {49, "0.0 ms"}, {50, "0.1 ms"}, {1234, "1.2 ms"}, {1250, "1.3 ms"}, {999960, "1,000.0 ms"},
                 {-1500, "-1.5 ms"}, {-40, "0.0 ms"}, {INT64_MIN, "-9,223,372,036,854,775.8 ms"}};
    for (const auto &t : times)
        EXPECT_EQ(TextReport::milliseconds(t.micros), t.text) << t.micros;
}

TEST(TextReportTest, DescriptorsAsJavaWritesParameters)
{
    const struct {
        const char *descriptor;
        const char *text;
    } cases[] = {
        {"()V", "()"},
        {"(I)I", "(int)"},
        {"(BCDFIJSZ)V", "(byte, char, double, float, int, long, short, boolean)"},
        {"([Ljava/lang/String;)V", "(java.lang.String[])"},
        {"([[ILDemo$Point;)LDemo$Point;", "(int[][], Demo$Point)"},
        {"", ""},            // no descriptor
        {"I", ""},           // not a method descriptor
        {"(I", ""},          // unterminated
        {"(Ljava/lang/String)V", ""}, // class name without ';'
        {"(L;)V", ""},       // empty class name
        {"([)V", ""},        // array of nothing
        {"(Q)V", ""},        // unknown type
    };
    for (const auto &c : cases)
        EXPECT_EQ(TextReport::javaParameters(c.descriptor), c.text) << c.descriptor;

    Registry registry = demoRegistry();
    EXPECT_EQ(TextReport::javaMethod(registry, 0x10), "Demo.fib(int)");
    EXPECT_EQ(TextReport::javaMethod(registry, 0x11), "Demo.main(java.lang.String[])");
    EXPECT_EQ(TextReport::javaMethod(registry, 0x13), "Demo.odd") << "a broken signature leaves the short form";
    EXPECT_EQ(TextReport::javaMethod(registry, 0x99), "#99");
}

TEST(TextReportTest, HotspotsShowOwnTimeShareAndCallsUpToTheRowLimit)
{
    Registry registry = demoRegistry();
    HotspotReply reply;
    reply.total = 2000000;
    reply.rows = {{0x10, 1500000, 242785}, {0x12, 400000, 100000}, {0x11, 100000, 1}};
    EXPECT_EQ(TextReport::hotspots(reply, registry, 2),
              "hot spots: 2,000.0 ms recorded in all threads; each method's own time (callees not counted)\n"
              "     own time  share        calls  method\n"
              "   1,500.0 ms   75%       242,785  Demo.fib(int)\n"
              "     400.0 ms   20%       100,000  Demo.isPrime(int)\n"
              "  ... 1 more methods\n");
}

TEST(TextReportTest, CallTreeTopKeepsBigNodesInOrderAndCountsTheRest)
{
    Registry registry = demoRegistry();
    std::unique_ptr<ViewNode> root = node(0, 1000000, 0);
    std::unique_ptr<ViewNode> main = node(0x11, 1000000, 1);
    std::unique_ptr<ViewNode> prime = node(0x12, 300000, 100000);
    std::unique_ptr<ViewNode> fib = node(0x10, 690000, 1);
    std::unique_ptr<ViewNode> inner = node(0x10, 680000, 2);
    inner->childrenWithheld = true;
    fib->children.push_back(std::move(inner));
    main->children.push_back(std::move(prime));
    main->children.push_back(std::move(fib));
    main->children.push_back(node(0, 5000, 3)); // below 1 %
    root->children.push_back(std::move(main));

    EXPECT_EQ(TextReport::callTreeTop(*root, registry, 10, 10),
              "         time  share        calls  call tree (time includes the callees)\n"
              "   1,000.0 ms  100%             0  [all threads]\n"
              "   1,000.0 ms  100%             1    Demo.main(java.lang.String[])\n"
              "     690.0 ms   69%             1      Demo.fib(int)\n"
              "     680.0 ms   68%             2        Demo.fib(int)\n"
              "                                           ... 1 more call path\n"
              "     300.0 ms   30%       100,000      Demo.isPrime(int)\n"
              "                                       ... 1 more call path\n");
    // A cumulated root carries no time: its children's time is the whole.
    std::string withTime = TextReport::callTreeTop(*root, registry, 10, 10);
    root->value = 0;
    EXPECT_EQ(TextReport::callTreeTop(*root, registry, 10, 10), withTime);
    // Two levels: the children of main stay out.
    EXPECT_EQ(TextReport::callTreeTop(*root, registry, 1, 10),
              "         time  share        calls  call tree (time includes the callees)\n"
              "   1,000.0 ms  100%             0  [all threads]\n"
              "   1,000.0 ms  100%             1    Demo.main(java.lang.String[])\n"
              "                                       ... 3 more call paths\n");
}

// A method auto-tuning took the hooks from is marked in the hot spots and
// in every node of the call tree, with its calls in the whole tree (a node
// left out counts too); an allocation tree counts objects and has no mark.
TEST(TextReportTest, MethodsWithoutHooksAreMarkedWithTheirCalls)
{
    Registry registry = demoRegistry();
    registry.markHooksRemoved(0x10);
    HotspotReply reply;
    reply.total = 2000000;
    reply.rows = {{0x10, 1500000, 242785}, {0x12, 400000, 100000}};
    EXPECT_EQ(TextReport::hotspots(reply, registry, 2),
              "hot spots: 2,000.0 ms recorded in all threads; each method's own time (callees not counted)\n"
              "     own time  share        calls  method\n"
              "   1,500.0 ms   75%       242,785  Demo.fib(int)  [hooks removed after 242,785 calls: counts stop here]\n"
              "     400.0 ms   20%       100,000  Demo.isPrime(int)\n");

    std::unique_ptr<ViewNode> root = node(0, 1000000, 0);
    std::unique_ptr<ViewNode> main = node(0x11, 1000000, 1);
    std::unique_ptr<ViewNode> fib = node(0x10, 690000, 1);
    std::unique_ptr<ViewNode> inner = node(0x10, 680000, 2);
    inner->children.push_back(node(0x10, 1000, 4)); // below 1 %
    fib->children.push_back(std::move(inner));
    main->children.push_back(std::move(fib));
    main->children.push_back(node(0x12, 300000, 100000));
    root->children.push_back(std::move(main));
    EXPECT_EQ(TextReport::callTreeTop(*root, registry, 10, 10),
              "         time  share        calls  call tree (time includes the callees)\n"
              "   1,000.0 ms  100%             0  [all threads]\n"
              "   1,000.0 ms  100%             1    Demo.main(java.lang.String[])\n"
              "     690.0 ms   69%             1      Demo.fib(int)  [hooks removed after 7 calls: counts stop here]\n"
              "     680.0 ms   68%             2        Demo.fib(int)  [hooks removed after 7 calls: counts stop here]\n"
              "                                           ... 1 more call path\n"
              "     300.0 ms   30%       100,000      Demo.isPrime(int)\n");
    EXPECT_EQ(TextReport::allocationTreeTop(*root, registry, 10, 10).find("hooks removed"), std::string::npos);
}

} // namespace
