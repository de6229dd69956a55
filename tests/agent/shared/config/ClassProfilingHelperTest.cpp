#include "ClassProfilingHelper.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using H = ClassProfilingHelper;

struct FilterCase {
    const char *name;
    std::vector<const char *> filters;
    const char *className;
    char separator;
    bool invert;
    bool wildcard;
    bool filtered;
};

class FilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterTest, Decides)
{
    const FilterCase &c = GetParam();
    EXPECT_EQ(H::isFilteredClassName(c.className, c.filters.empty() ? nullptr : c.filters.data(),
                                     int(c.filters.size()), c.separator, c.invert, c.wildcard),
              c.filtered);
}

const FilterCase FILTER_CASES[] = {
    // an exclusion first: what no entry names is filtered
    {"exclusion_first_unmatched", {"-com.a", "com.a.b"}, "x.Y", 0, false, false, true},
    {"exclusion_first_excluded", {"-com.a", "com.a.b"}, "com.a.Z", 0, false, false, false},
    {"last_match_decides", {"-com.a", "com.a.b"}, "com.a.b.Z", 0, false, false, true},
    {"later_exclusion_wins", {"com.a", "-com.a.b"}, "com.a.b.Z", 0, false, false, false},
    {"inclusion_unmatched", {"com.a"}, "org.Z", 0, false, false, false},
    {"prefix_match", {"com.a"}, "com.abc.Z", 0, false, false, true},
    {"inverted_for_inclusive_lists", {"com.a."}, "com.a.Z", '.', true, false, false},
    {"inverted_unmatched", {"com.a."}, "org.Z", '.', true, false, true},
    {"default_package_with_separator", {"-x"}, "Main", '.', false, false, false},
    {"default_package_without_separator", {"-x"}, "Main", 0, false, false, true},
    {"slash_separator", {"com/a/"}, "com/a/Z", '/', false, false, true},
    {"slash_name_without_slash", {"Main"}, "Main", '/', false, false, false},
    {"no_filters", {}, "com.a.Z", 0, false, false, false},
    {"no_filters_inverted", {}, "com.a.Z", 0, true, false, false},
    {"null_entries_skipped", {nullptr, "com."}, "com.a.Z", 0, false, false, true},
    {"lone_minus_never_matches", {"com.", "-"}, "com.a.Z", 0, false, false, true},
    {"invocation_event_dotted", {"java."}, "java.awt.event.InvocationEvent", '.', false, false, false},
    {"invocation_event_slashed", {"java/"}, "java/awt/event/InvocationEvent", '/', false, false, false},
    {"invocation_event_inverted", {"com."}, "java.awt.event.InvocationEvent", '.', true, false, false},
    {"invocation_event_with_wildcards", {"java.*"}, "java.awt.event.InvocationEvent", 0, false, true, true},
    {"other_awt_event", {"java."}, "java.awt.event.ActionEvent", '.', false, false, true},
    {"wildcard_whole_name", {"com.*.Impl?"}, "com.x.y.ImplA", 0, false, true, true},
    {"wildcard_needs_question_char", {"com.*.Impl?"}, "com.x.Impl", 0, false, true, false},
    {"wildcard_not_prefix", {"com.x"}, "com.x.Y", 0, false, true, false},
    {"view_filter_inverted", {"com.x.*"}, "com.x.Y", 0, true, true, false},
    {"view_filter_inverted_unmatched", {"com.x.*"}, "org.Y", 0, true, true, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, FilterTest, ::testing::ValuesIn(FILTER_CASES),
                         [](const ::testing::TestParamInfo<FilterCase> &info) { return std::string(info.param.name); });

TEST(ClassProfilingHelper, Matching)
{
    struct Case {
        const char *pattern;
        const char *name;
        bool wildcard;
        bool matches;
    };
    const Case cases[] = {
        {"com.", "com.a", false, true},
        {"com.a", "com.", false, false},
        {"", "anything", false, true},
        {"*", "", true, true},
        {"*", "anything", true, true},
        {"a*", "a", true, true},
        {"a**b", "ab", true, true},
        {"a*b", "axxbyb", true, true},
        {"a*b", "axxbyc", true, false},
        {"a?c", "abc", true, true},
        {"a?c", "ac", true, false},
        {"?", "", true, false},
        {"*x*y*", "aaxbbyc", true, true},
        {"*x*y*", "aaybbxc", true, false},
        {"com.*.Impl", "com.Impl", true, false},
        {"abc", "abcd", true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
        EXPECT_EQ(H::matches(c.pattern, c.name, c.wildcard), c.matches);
    }
}

TEST(ClassProfilingHelper, ManyStarsStayFast)
{
    // Trying every split point for each star would take ages here.
    std::string name(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 40; i++)
        pattern += "*a";
    pattern += "*b";
    EXPECT_FALSE(H::matches(pattern.c_str(), name.c_str(), true));
}

TEST(ClassProfilingHelper, HardFilteredClasses)
{
    struct Case {
        const char *name;
        bool attached;
        bool sharing;
        bool instrumentJre;
        bool hard;
    };
    const Case cases[] = {
        {"com/orvane/agent/Agent", false, false, false, true},
        {"com/orvane/api/agent/Controller", false, false, true, true},
        {"com/orvane/core/comm/X", false, false, false, true},
        {"com/orvane/other/X", false, false, false, false},
        {"java/lang/String", false, false, false, true},
        {"java/lang/String", false, false, true, false},
        {"apple/laf/X", false, false, true, true},
        {"sun/reflect/X", false, false, true, true},
        {"sun/misc/Unsafe", false, false, true, true},
        {"sun/nio/X", false, false, false, false},
        {"javax/swing/JFrame", false, false, false, false},
        {"java/awt/event/InvocationEvent", false, false, false, false},
        {"java/awt/event/InvocationEvent", true, false, false, false},
        {"java/awt/event/InvocationEvent", true, true, false, true},
        {"java/awt/event/InvocationEvent", true, true, true, false},
        {"javax/swing/JFrame", true, true, true, true},
        {"sun/nio/X", true, true, true, true},
        {"com/sun/X", true, true, true, true},
        {"org/w3c/dom/Node", true, true, true, true},
        {"org/xml/sax/Parser", true, true, true, true},
        {"org/xml/sax/Parser", true, false, true, false},
        {"org/example/Main", true, true, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.attached ? " attached" : "") + (c.sharing ? " sharing" : "") +
                     (c.instrumentJre ? " jre" : ""));
        EXPECT_EQ(H::isHardFilteredClass(c.name, c.attached, c.sharing, c.instrumentJre), c.hard);
    }
}

TEST(ClassProfilingHelper, ArrayTypes)
{
    struct Case {
        const char *name;
        int arrayType;
        int type;
    };
    const Case cases[] = {
        {nullptr, 2, 2},      {"java.lang.String", 2, 2}, {"[Z", 4, 4}, {"[B", 5, 5}, {"[C", 6, 6},
        {"[S", 7, 7},         {"[I", 8, 8},               {"[J", 9, 9}, {"[F", 10, 10}, {"[D", 11, 11},
        {"[Ljava.lang.Object;", 3, 3}, {"[[I", 3, 3},     {"[X", 2, 2}, {"[", 2, 3},   {"[IX", 8, 3},
        {"", 2, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(H::getArrayTypeFromName(c.name), c.arrayType);
        EXPECT_EQ(H::getTypeFromName(c.name), c.type);
    }
}

} // namespace
