#include "ClassProfilingHelper.h"

#include <cstring>

namespace {

bool startsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Whole-name match with '?' and '*'. Greedy with one backtrack point: on a mismatch the last
// '*' takes one more character. This finds a match whenever trying every split point would,
// in time proportional to pattern times name at worst.
bool wildcardMatch(const char *pattern, const char *name)
{
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            while (*pattern == '*')
                pattern++;
            if (!*pattern)
                return true;
            star = pattern;
            resume = name;
        } else if (*pattern && (*pattern == '?' || *pattern == *name)) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return !*pattern;
}

const char *const HARD_FILTERED[] = {"com/orvane/agent/", "com/orvane/api/", "com/orvane/core/", "apple/",
                                     "sun/reflect/", "sun/misc/"};
const char *const HARD_FILTERED_WHEN_SHARING[] = {"javax/", "sun/", "com/sun/", "org/w3c/dom/", "org/xml/sax/"};

} // namespace

bool ClassProfilingHelper::matches(const char *pattern, const char *name, bool wildcard)
{
    if (!wildcard)
        return startsWith(name, pattern);
    return wildcardMatch(pattern, name);
}

bool ClassProfilingHelper::isFilteredClassName(const char *name, const char *const *filters, int count,
                                               char separator, bool invert, bool wildcard)
{
    // The event that runs the AWT event queue stays visible whatever the filters say.
    if (!wildcard &&
        (strcmp(name, "java/awt/event/InvocationEvent") == 0 || strcmp(name, "java.awt.event.InvocationEvent") == 0))
        return false;
    if (separator != '\0' && !strchr(name, separator))
        return false;
    if (!filters)
        return false;
    bool result = false;
    for (int i = 0; i < count; i++) {
        const char *pattern = filters[i];
        if (!pattern)
            continue;
        bool exclusion = pattern[0] == '-';
        if (exclusion)
            pattern++;
        if (i == 0 && exclusion)
            result = true;
        if (*pattern && matches(pattern, name, wildcard))
            result = !exclusion;
    }
    return invert ? !result : result;
}

bool ClassProfilingHelper::isHardFilteredClass(const char *slashName, bool attached, bool sharing, bool instrumentJre)
{
    bool attachedSharing = attached && sharing;
    if (!attachedSharing && startsWith(slashName, "java/awt/event/InvocationEvent"))
        return false;
    for (const char *prefix : HARD_FILTERED)
        if (startsWith(slashName, prefix))
            return true;
    if (!instrumentJre && startsWith(slashName, "java/"))
        return true;
    if (!attachedSharing)
        return false;
    for (const char *prefix : HARD_FILTERED_WHEN_SHARING)
        if (startsWith(slashName, prefix))
            return true;
    return false;
}

bool ClassProfilingHelper::isAgentClassName(const char *dottedName)
{
    return dottedName && (startsWith(dottedName, "com.orvane.agent") || startsWith(dottedName, "com.orvane.api"));
}

int ClassProfilingHelper::getArrayTypeFromName(const char *name)
{
    if (!name || name[0] != '[')
        return TYPE_OBJECT;
    switch (name[1]) {
    case 'Z':
        return TYPE_BOOLEAN_ARRAY;
    case 'B':
        return TYPE_BYTE_ARRAY;
    case 'C':
        return TYPE_CHAR_ARRAY;
    case 'S':
        return TYPE_SHORT_ARRAY;
    case 'I':
        return TYPE_INT_ARRAY;
    case 'J':
        return TYPE_LONG_ARRAY;
    case 'F':
        return TYPE_FLOAT_ARRAY;
    case 'D':
        return TYPE_DOUBLE_ARRAY;
    case 'L':
    case '[':
        return TYPE_OBJECT_ARRAY;
    default:
        return TYPE_OBJECT;
    }
}

int ClassProfilingHelper::getTypeFromName(const char *name)
{
    if (name && name[0] == '[' && strlen(name) != 2)
        return TYPE_OBJECT_ARRAY;
    return getArrayTypeFromName(name);
}
