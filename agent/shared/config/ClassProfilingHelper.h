#ifndef KVR_AGENT_SHARED_CONFIG_CLASSPROFILINGHELPER_H
#define KVR_AGENT_SHARED_CONFIG_CLASSPROFILINGHELPER_H

// The rules that decide from a class name alone whether a class is filtered, view-filtered or
// never instrumented, and which array type a class name stands for. Pure functions: the
// registry applies them with its own filter lists and switches.
class ClassProfilingHelper {
public:
    // Array types of class names.
    static constexpr int TYPE_OBJECT = 2;
    static constexpr int TYPE_OBJECT_ARRAY = 3;
    static constexpr int TYPE_BOOLEAN_ARRAY = 4;
    static constexpr int TYPE_BYTE_ARRAY = 5;
    static constexpr int TYPE_CHAR_ARRAY = 6;
    static constexpr int TYPE_SHORT_ARRAY = 7;
    static constexpr int TYPE_INT_ARRAY = 8;
    static constexpr int TYPE_LONG_ARRAY = 9;
    static constexpr int TYPE_FLOAT_ARRAY = 10;
    static constexpr int TYPE_DOUBLE_ARRAY = 11;

    // Whether `name` (not null) is filtered by `count` entries of `filters` (null entries are
    // skipped). An entry beginning with '-' excludes; when the first entry excludes, a name that
    // no entry matches is filtered. The last matching entry decides; `invert` negates the
    // answer. With a non-zero `separator`, a name without it (default package) is not filtered.
    // Without `wildcard` an entry is a prefix; with it, the whole name must match ('?' one
    // character, '*' any run).
    static bool isFilteredClassName(const char *name, const char *const *filters, int count, char separator,
                                    bool invert, bool wildcard);
    static bool matches(const char *pattern, const char *name, bool wildcard);

    // Classes the agent never instruments, by slash name: its own classes, the JDK's (unless
    // told to instrument them) and, when attached to a VM that shares classes, the platform's.
    static bool isHardFilteredClass(const char *slashName, bool attached, bool sharing, bool instrumentJre);
    // Classes of the agent itself, by dotted name: their methods are always filtered.
    static bool isAgentClassName(const char *dottedName);

    // 2 for a class, 3 for arrays of objects or arrays, 4 to 11 for arrays of boolean, byte,
    // char, short, int, long, float, double (the character after the '[').
    static int getArrayTypeFromName(const char *name);
    // As getArrayTypeFromName, except that every array name whose length is not 2 gives 3.
    static int getTypeFromName(const char *name);
};

#endif
